// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>
#include <string_view>

#include "cores/core_table.h"
#include "hints/line_filter.h"

/// Reads the next-boot modes from the hints file and prints one row per core
/// to standard output. Always 0.
int print_core_mode_report(CoreTable& table, const char* hints_path);

/// Prints the report's header and one row per core, both modes as the table has them.
void print_core_modes(const CoreTable& table);

/// Sets every core's shared_next to its mode after the next boot as the
/// kernel will read the hints text of `input`: a core that no disable hint
/// names keeps its mode, and the first core (the boot processor) is always
/// shared. 0, or the filter's status (12 when memory runs out).
int read_next_boot_modes(std::FILE* input, CoreTable& table);

/// The report's line handler: collects into table.environment each disable
/// hint of a known core that the boot loader reads from a line. 0, or 12
/// when memory runs out.
int read_next_boot_mode(LineBuffer& line, CoreTable& table, bool final_pass);

/// Gives every core the next-boot mode that the collected hints decide (see
/// read_next_boot_modes).
void apply_next_boot_modes(CoreTable& table, LoaderEnvironment& environment);

/// True when the kernel reads a disable hint's value (quotes removed) as a
/// non-zero number, and so withholds the core.
bool is_disabled_value(std::string_view value);
