// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <cstdint>
#include <cstdio>
#include <optional>

#include "hints/loader/kernel_hints.h"
#include "hints/update/update_files.h"

namespace {

/// Both modes are eight characters wide, so the columns line up.
const char* mode_text(bool shared) { return shared ? " shared " : "isolated"; }

}  // namespace

bool is_disabled_value(std::string_view value) {
  return read_kernel_number(value) == KernelNumber::NonZero;
}

void ReportPass::apply_next_boot_modes(CoreTable& table, const LoaderEnvironment& environment) {
  if (!table.entries) return;
  const std::uint32_t boot_processor = table.entries[0].apic_id;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    CoreEntry& core = table.entries[i];
    // The kernel never withholds the boot processor, whichever row names it.
    if (core.apic_id == boot_processor) {
      core.shared_next = 1;
      continue;
    }
    const std::optional<bool> disabled = kernel_disables(environment, core.apic_id);
    if (disabled) core.shared_next = *disabled ? 0 : 1;
  }
}

int read_next_boot_modes(std::FILE* input, CoreTable& table) {
  ReportPass pass(table);
  const int status = filter_lines(input, nullptr, &pass);
  if (status == 0) pass.apply();
  return status;
}

int print_core_mode_report(CoreTable& table, const char* hints_path) {
  // Under a shared lock, an update in progress is never read half written. A
  // hints file that will not open has been named on standard output; the
  // next-boot column then shows the modes as the table has them.
  {
    const FileDescriptor lock = begin_reading(hints_path);
    ReportPass pass(table);
    if (filter_file(hints_path, nullptr, &pass) == 0) pass.apply();
  }

  print_core_modes(table);
  return 0;
}

void print_core_modes(const CoreTable& table) {
  std::printf("  CPU | LApic-ID | mode now | mode next boot\r\n");
  std::printf("----------------------------------------------\n");
  for (std::uint32_t i = 0; table.entries && i < table.cpu_count; ++i) {
    const CoreEntry& core = table.entries[i];
    std::printf("  %3d |    %02x    | %s |    %s\r\n", static_cast<int>(i), core.apic_id,
                mode_text(core.shared_now != 0), mode_text(core.shared_next != 0));
  }
}
