#pragma once

#include "cores/core_table.h"

/// Reads the next-boot modes from the hints file and prints one row per core
/// to standard output. Always 0.
int print_core_mode_report(CoreTable& table, const char* hints_path);
