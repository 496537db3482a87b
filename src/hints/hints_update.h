#pragma once

#include "cores/core_table.h"

/// Applies the edit pass to the hints file: to standard output with ToStdout,
/// otherwise in place behind a backup. 0 on success, -5/-6/-7 for a failed
/// backup, edit or copy back, or the filter's status with ToStdout.
/// The in-place update holds an exclusive flock on the hints file throughout,
/// refuses (-5) a path with no room for the ".KxBak" suffix, and after a copy
/// back that failed part way writes the old text back from the backup.
int update_hints_file(CoreTable& table, const char* hints_path);
