// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <cstdint>
#include <cstdio>

#include "hints/hint_rules.h"
#include "hints/update_files.h"

namespace {

/// Both modes are eight characters wide, so the columns line up.
const char* mode_text(bool shared) { return shared ? " shared " : "isolated"; }

}  // namespace

bool is_disabled_value(std::string_view value) { return value == "1" || value == "\"1\""; }

int read_next_boot_mode(LineBuffer& line, CoreTable& table, bool /*final_pass*/) {
  if (line.continues_line) return 0;
  const HintMatch match = match_hint_line(line.text.data());
  if (match.kind != HintKind::Disable || !match.id_in_range) return 0;
  CoreEntry* core = lookup_core(table, static_cast<std::uint32_t>(match.id));
  if (core != nullptr) core->shared_next = is_disabled_value(match.value) ? 0 : 1;
  return 0;
}

int print_core_mode_report(CoreTable& table, const char* hints_path) {
  // Under a shared lock, an update in progress is never read half written. A
  // hints file that will not open has been named on standard output; the
  // next-boot column then shows the modes as the table has them.
  {
    const FileDescriptor lock = begin_reading(hints_path);
    filter_file(hints_path, nullptr, read_next_boot_mode, &table);
  }

  std::printf("  CPU | LApic-ID | mode now | mode next boot\r\n");
  std::printf("----------------------------------------------\n");
  for (std::uint32_t i = 0; table.entries && i < table.cpu_count; ++i) {
    const CoreEntry& core = table.entries[i];
    std::printf("  %3d |    %02x    | %s |    %s\r\n", static_cast<int>(i), core.apic_id,
                mode_text(core.shared_now != 0), mode_text(core.shared_next != 0));
  }
  return 0;
}
