// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include "cores/core_table.h"

/// Applies the edit pass to the hints file: to standard output with ToStdout
/// (read under a shared lock), otherwise in place behind a backup. 0 on
/// success, -5/-6/-7 for a failed backup, edit or copy back, -8 when what an
/// earlier copy back left cannot be judged (everything is kept), or the
/// filter's status with ToStdout. The in-place update needs a regular file,
/// holds an exclusive flock on it throughout and the ending signals from the
/// backup on; it first repairs a copy back that an earlier run left
/// unfinished, writes the backup aside and renames it into place, and after
/// a copy back that failed part way writes the old text back from the backup.
int update_hints_file(CoreTable& table, const char* hints_path);
