// SPDX-License-Identifier: BSD-2-Clause
// The report's read-only pass (filter_lines with read_next_boot_mode) over any
// hints text and core table, compared with a reader built on sscanf: the last
// disable hint of a core decides its next-boot mode, and nothing else changes.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cores/core_table.h"
#include "fuzz_input.h"
#include "hints/core_report.h"
#include "hints/line_filter.h"

namespace {

struct Bits {
  bool shared_now, shared_next, clock_hint_done, disable_hint_done;
};

Bits bits_of(const CoreEntry& core) {
  return {core.shared_now != 0, core.shared_next != 0, core.clock_hint_done != 0,
          core.disable_hint_done != 0};
}

/// The next-boot mode each core should end with, read piece by piece the way
/// the filter cuts the text (up to a line feed or 2047 bytes); only a piece
/// that begins a line can be a hint.
std::vector<bool> expected_modes(const std::string& text, const CoreTable& table) {
  std::vector<bool> modes;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) modes.push_back(table.entries[i].shared_next != 0);
  std::size_t start = 0;
  bool at_line_start = true;
  while (start < text.size()) {
    std::size_t length = 0;
    while (start + length < text.size() && length < kMaxLineLength) {
      if (text[start + length++] == '\n') break;
    }
    const std::string piece = text.substr(start, length);
    start += length;
    const bool begins_line = at_line_start;
    at_line_start = piece.back() == '\n';
    if (!begins_line) continue;

    long long id = 0;
    char value[kLineBufferSize];
    if (std::sscanf(piece.c_str(), "hint.lapic.%lld.disabled%*[ =]%2047s", &id, value) != 2) continue;
    if (id < INT32_MIN || id > INT32_MAX) continue;
    const auto wanted = static_cast<std::uint32_t>(static_cast<std::int32_t>(id));
    for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
      if (table.entries[i].apic_id == wanted) {
        const std::string_view v(value);
        modes[i] = !(v == "1" || v == "\"1\"");
        break;
      }
    }
  }
  return modes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in({data, size});
  std::vector<std::uint32_t> ids;
  const CoreTablePtr table = read_core_table(in, ids);
  const std::span<const std::uint8_t> rest = in.rest();
  const std::string text(rest.begin(), rest.end());

  // Done bits are never set before this pass; set some so a stray write shows.
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    table->entries[i].clock_hint_done = (i & 1) != 0;
    table->entries[i].disable_hint_done = (i & 2) != 0;
  }
  std::vector<Bits> before;
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) before.push_back(bits_of(table->entries[i]));
  const std::vector<bool> expected = expected_modes(text, *table);
  const std::uint32_t flags = table->flags;

  if (!text.empty()) {
    // A read-only stream never writes into the text.
    std::FILE* input = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    FUZZ_CHECK(input != nullptr);
    FUZZ_CHECK(filter_lines(input, nullptr, read_next_boot_mode, table.get()) == 0);
    std::fclose(input);
  }

  FUZZ_CHECK(table->flags == flags);
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    const Bits after = bits_of(table->entries[i]);
    FUZZ_CHECK(table->entries[i].apic_id == ids[i]);
    FUZZ_CHECK(after.shared_next == expected[i]);
    FUZZ_CHECK(after.shared_now == before[i].shared_now);
    FUZZ_CHECK(after.clock_hint_done == before[i].clock_hint_done);
    FUZZ_CHECK(after.disable_hint_done == before[i].disable_hint_done);
  }
  return 0;
}
