// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>
#include <string_view>

#include "cores/core_table.h"
#include "hints/loader/line_filter.h"
#include "hints/loader/loader_environment.h"
#include "hints/loader/loader_file_pass.h"

/// The report pass: reads the hints file as the boot loader reads it and
/// then gives every core its mode after the next boot as the kernel will read
/// the collected hints: a core that no disable hint names keeps its mode, and
/// a core with the first core's APIC id (the boot processor) is always shared.
class ReportPass final : public LineHandler {
 public:
  explicit ReportPass(CoreTable& table) : table_(table), file_pass_(environment_, &budget_) {}

  int read_line(LineBuffer& line) override { return read_next_boot_mode(line); }

  /// Collects what the loader reads from the line once it is whole. 0, or
  /// 12 when memory runs out.
  int read_next_boot_mode(LineBuffer& line) { return file_pass_.read_boot_setting(line); }

  /// Sets every core's shared_next from what the pass collected. 0, or 12
  /// when memory runs out (the table is then left as it was).
  int apply() { return apply_next_boot_modes(table_, environment_); }

  static int apply_next_boot_modes(CoreTable& table, const LoaderEnvironment& environment);

 private:
  CoreTable& table_;
  LoaderEnvironment environment_;
  // As --verify reads the hints file, so that both agree: $name expansions
  // copy at most what the budget allows.
  ExpansionBudget budget_;
  LoaderFilePass file_pass_;
};

/// Reads the next-boot modes from the hints file and prints one row per core
/// to standard output. Always 0.
int print_core_mode_report(CoreTable& table, const char* hints_path);

/// Prints the report's header and one row per core, both modes as the table has them.
void print_core_modes(const CoreTable& table);

/// Sets every core's shared_next to its mode after the next boot as the
/// kernel will read the hints text of `input` (see ReportPass). 0, or the
/// filter's status (12 when memory runs out).
int read_next_boot_modes(std::FILE* input, CoreTable& table);

/// Gives every core the next-boot mode that the collected hints decide. 0,
/// or 12 when memory runs out.
inline int apply_next_boot_modes(CoreTable& table, const LoaderEnvironment& environment) {
  return ReportPass::apply_next_boot_modes(table, environment);
}

/// True when the kernel reads a disable hint's value (quotes removed) as a
/// non-zero number, and so withholds the core.
bool is_disabled_value(std::string_view value);
