// SPDX-License-Identifier: BSD-2-Clause
// The report's reading pass (read_next_boot_modes) over any hints text and
// core table, compared with a model of the boot loader and the kernel: the
// loader reads each whole line, whatever its length, and keeps the last value
// of each name, $name taken from what the text set before and every value cut
// at its first NUL; the kernel takes of a core's spellings the first
// non-blank one by strcmp and withholds the core when strtoul reads the whole
// value as a number whose low 32 bits are not zero, but never withholds a
// core with the first core's APIC id. Nothing else of the table changes.
//
// The byte 0x1F followed by a count and a byte stands for count KiB of that
// byte, so that short inputs reach long lines and values.

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cores/core_table.h"
#include "fuzz_input.h"
#include "hints/core_report.h"
#include "loader_model.h"

namespace {

struct Bits {
  bool shared_now, shared_next, clock_hint_done, disable_hint_done;
};

Bits bits_of(const CoreEntry& core) {
  return {core.shared_now != 0, core.shared_next != 0, core.clock_hint_done != 0,
          core.disable_hint_done != 0};
}

/// The next-boot mode each core should end with; none when the model gives up.
std::optional<std::vector<bool>> expected_modes(const std::string& text, const CoreTable& table) {
  const std::optional<ModelEnvironment> environment = model_loader_environment(text);
  if (!environment) return std::nullopt;
  std::vector<bool> modes;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    const CoreEntry& core = table.entries[i];
    const std::optional<bool> disabled = model_kernel_disables(*environment, core.apic_id);
    modes.push_back(core.apic_id == table.entries[0].apic_id ||
                    (disabled ? !*disabled : core.shared_next != 0));
  }
  return modes;
}

/// The fuzzer's text with each 0x1F, count, byte run expanded.
std::string expand_runs(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == 0x1F && i + 2 < bytes.size()) {
      text.append(std::size_t{bytes[i + 1]} * 1024, static_cast<char>(bytes[i + 2]));
      i += 2;
    } else {
      text += static_cast<char>(bytes[i]);
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in({data, size});
  std::vector<std::uint32_t> ids;
  const CoreTablePtr table = read_core_table(in, ids);
  const std::string text = expand_runs(in.rest());

  // Done bits are never set before this pass; set some so a stray write shows.
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    table->entries[i].clock_hint_done = (i & 1) != 0;
    table->entries[i].disable_hint_done = (i & 2) != 0;
  }
  std::vector<Bits> before;
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) before.push_back(bits_of(table->entries[i]));
  const std::optional<std::vector<bool>> expected = expected_modes(text, *table);
  const std::uint32_t flags = table->flags;

  // A read-only stream never writes into the text; an empty one stands for no input.
  std::FILE* input =
      text.empty() ? nullptr : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  FUZZ_CHECK(text.empty() || input != nullptr);
  FUZZ_CHECK(read_next_boot_modes(input, *table) == 0);
  if (input != nullptr) std::fclose(input);

  FUZZ_CHECK(table->flags == flags);
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    const Bits after = bits_of(table->entries[i]);
    FUZZ_CHECK(table->entries[i].apic_id == ids[i]);
    if (expected) FUZZ_CHECK(after.shared_next == (*expected)[i]);
    FUZZ_CHECK(after.shared_now == before[i].shared_now);
    FUZZ_CHECK(after.clock_hint_done == before[i].clock_hint_done);
    FUZZ_CHECK(after.disable_hint_done == before[i].disable_hint_done);
  }
  return 0;
}
