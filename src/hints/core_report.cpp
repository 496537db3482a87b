// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <string_view>
#include <vector>

#include "hints/loader/kernel_hints.h"
#include "hints/update/update_files.h"

namespace {

/// Both modes are eight characters wide, so the columns line up.
const char* mode_text(bool shared) { return shared ? " shared " : "isolated"; }

/// Room for the longest row (57 bytes: a CPU number of eleven characters,
/// an APIC id of eight).
constexpr std::size_t kLongestRow = 64;

/// A row whose CPU number fits three columns and whose APIC id two hex
/// digits, as most are: a copy of the row's pattern with those and the two
/// modes put in their places. Returns the row's end.
char* put_narrow_row(char* out, std::uint32_t cpu, const CoreEntry& core) {
  static constexpr std::string_view kPattern = "  ccc |    hh    | mmmmmmmm |    mmmmmmmm\r\n";
  constexpr std::string_view kHex = "0123456789abcdef";
  std::memcpy(out, kPattern.data(), kPattern.size());
  out[2] = cpu >= 100 ? static_cast<char>('0' + cpu / 100) : ' ';
  out[3] = cpu >= 10 ? static_cast<char>('0' + cpu / 10 % 10) : ' ';
  out[4] = static_cast<char>('0' + cpu % 10);
  out[11] = kHex[core.apic_id / 16];
  out[12] = kHex[core.apic_id % 16];
  std::memcpy(out + 19, mode_text(core.shared_now != 0), 8);
  std::memcpy(out + 33, mode_text(core.shared_next != 0), 8);
  return out + kPattern.size();
}

/// One row, "  %3d |    %02x    | %s |    %s\r\n", put together by hand at
/// `out` (room for kLongestRow bytes): printf's own parsing cost more than the
/// rest of a report of many cores. Returns the row's end.
char* put_row(char* out, std::uint32_t cpu, const CoreEntry& core) {
  if (cpu < 1000 && core.apic_id < 256) return put_narrow_row(out, cpu, core);
  const auto put = [&out](std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    out += text.size();
  };
  char number[16];
  // "%3d": right-aligned in three columns, wider when it needs to be.
  const char* number_end = std::to_chars(number, number + sizeof number, static_cast<int>(cpu)).ptr;
  const auto digits = static_cast<std::size_t>(number_end - number);
  put("  ");
  put(std::string_view("   ", digits < 3 ? 3 - digits : 0));
  put({number, digits});
  put(" |    ");
  // "%02x": lower-case hexadecimal, at least two digits.
  number_end = std::to_chars(number, number + sizeof number, core.apic_id, 16).ptr;
  if (number_end - number < 2) put("0");
  put({number, static_cast<std::size_t>(number_end - number)});
  put("    | ");
  put(mode_text(core.shared_now != 0));
  put(" |    ");
  put(mode_text(core.shared_next != 0));
  put("\r\n");
  return out;
}

}  // namespace

bool is_disabled_value(std::string_view value) {
  return read_kernel_number(value) == KernelNumber::NonZero;
}

int ReportPass::apply_next_boot_modes(CoreTable& table, const LoaderEnvironment& environment) {
  if (!table.entries) return 0;
  std::vector<DecidingHint> hints;
  try {
    hints = deciding_disable_hints(environment);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  const std::uint32_t boot_processor = table.entries[0].apic_id;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    CoreEntry& core = table.entries[i];
    // The kernel never withholds the boot processor, whichever row names it.
    if (core.apic_id == boot_processor) {
      core.shared_next = 1;
    } else if (const DecidingHint* hint = find_deciding_hint(hints, core.apic_id)) {
      core.shared_next = hint->disables ? 0 : 1;
    }
  }
  return 0;
}

int read_next_boot_modes(std::FILE* input, CoreTable& table) {
  ReportPass pass(table);
  const int status = filter_lines(input, nullptr, &pass);
  return status != 0 ? status : pass.apply();
}

int print_core_mode_report(CoreTable& table, const char* hints_path) {
  // Under a shared lock, an update in progress is never read half written. A
  // hints file that will not open has been named on standard output; the
  // next-boot column then shows the modes as the table has them.
  {
    int error = 0;
    const FileDescriptor hints = open_for_reading(hints_path, error);
    const FilePtr text = hints.valid() ? read_from_start(hints.get()) : nullptr;
    if (text) read_next_boot_modes(text.get(), table);
  }

  print_core_modes(table);
  return 0;
}

void print_core_modes(const CoreTable& table) {
  static constexpr std::string_view kHeader =
      "  CPU | LApic-ID | mode now | mode next boot\r\n"
      "----------------------------------------------\n";
  // The report goes out 4 KiB at a time, not one library call a row; a
  // larger buffer costs more fresh stack pages than it saves in writes.
  char rows[4096];
  std::memcpy(rows, kHeader.data(), kHeader.size());
  char* out = rows + kHeader.size();
  for (std::uint32_t i = 0; table.entries && i < table.cpu_count; ++i) {
    if (out + kLongestRow > std::end(rows)) {
      std::fwrite(rows, 1, static_cast<std::size_t>(out - rows), stdout);
      out = rows;
    }
    out = put_row(out, i, table.entries[i]);
  }
  std::fwrite(rows, 1, static_cast<std::size_t>(out - rows), stdout);
}
