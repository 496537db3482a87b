#pragma once

#include "cores/core_table.h"

/// Applies the edit pass to the hints file: to standard output with ToStdout,
/// otherwise in place behind a backup. 0 on success, -5/-6/-7 for a failed
/// backup, edit or copy back, or the filter's status with ToStdout.
int update_hints_file(CoreTable& table, const char* hints_path);
