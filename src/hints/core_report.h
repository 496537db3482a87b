// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string_view>

#include "cores/core_table.h"
#include "hints/line_filter.h"

/// Reads the next-boot modes from the hints file and prints one row per core
/// to standard output. Always 0.
int print_core_mode_report(CoreTable& table, const char* hints_path);

/// The report's line handler: a disable hint of a known core sets that core's
/// shared_next from its value; the last hint of a core wins. Always 0.
int read_next_boot_mode(LineBuffer& line, CoreTable& table, bool final_pass);

/// True when a disable hint's value withholds the core: exactly 1 or "1".
bool is_disabled_value(std::string_view value);
