// SPDX-License-Identifier: BSD-2-Clause
// The report's reading pass (read_next_boot_modes) over any hints text and
// core table, compared with a model of the boot loader and the kernel: the
// loader keeps the last value of each name, the kernel takes of a core's
// spellings the first non-blank one by strcmp and withholds the core when
// strtoul reads the whole value as a number whose low 32 bits are not zero.
// Nothing else of the table changes.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cores/core_table.h"
#include "fuzz_input.h"
#include "hints/core_report.h"
#include "hints/line_filter.h"
#include "loader_model.h"

namespace {

struct Bits {
  bool shared_now, shared_next, clock_hint_done, disable_hint_done;
};

Bits bits_of(const CoreEntry& core) {
  return {core.shared_now != 0, core.shared_next != 0, core.clock_hint_done != 0,
          core.disable_hint_done != 0};
}

struct ByStrcmp {
  bool operator()(const std::string& a, const std::string& b) const {
    return std::strcmp(a.c_str(), b.c_str()) < 0;
  }
};
using Environment = std::map<std::string, std::string, ByStrcmp>;

/// What the loader sets from the text, read line by line. The report sees a
/// line longer than its 2047-byte buffer through the first piece: it reads the
/// setting only when the value ends there, and a bare word that fills the
/// piece may go on, so it is taken as cut.
Environment loader_environment(const std::string& text) {
  Environment environment;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find('\n', start);
    const bool fed = end != std::string::npos;
    if (!fed) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    const std::optional<ModelSetting> setting = model_loader_setting(line);
    if (!setting) continue;
    if (line.size() + (fed ? 1 : 0) > kMaxLineLength &&
        (setting->value_end > kMaxLineLength ||
         (setting->bare && setting->value_end == kMaxLineLength)))
      continue;
    environment[setting->name] = setting->value;
  }
  return environment;
}

/// Whether the kernel withholds the processor with `apic_id`; none when no
/// hint with a non-blank value names it.
std::optional<bool> kernel_disables(const Environment& environment, std::uint32_t apic_id) {
  for (const auto& [name, value] : environment) {
    const std::optional<ModelHintName> hint = model_hint_name(name);
    if (!hint || hint->driver != "lapic" || hint->resource != "disabled") continue;
    if (hint->unit < INT32_MIN || hint->unit > INT32_MAX ||
        static_cast<std::uint32_t>(static_cast<std::int32_t>(hint->unit)) != apic_id)
      continue;
    if (value.find_first_not_of(kModelSpace) == std::string::npos) continue;
    char* end = nullptr;
    const unsigned long number = std::strtoul(value.c_str(), &end, 0);
    return end == value.c_str() + value.size() && (number & 0xffffffffu) != 0;
  }
  return std::nullopt;
}

/// The next-boot mode each core should end with; the boot processor is never withheld.
std::vector<bool> expected_modes(const std::string& text, const CoreTable& table) {
  const Environment environment = loader_environment(text);
  std::vector<bool> modes;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    const std::optional<bool> disabled = kernel_disables(environment, table.entries[i].apic_id);
    modes.push_back(i == 0 || (disabled ? !*disabled : table.entries[i].shared_next != 0));
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

  // A read-only stream never writes into the text; an empty one stands for no input.
  std::FILE* input =
      text.empty() ? nullptr : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  FUZZ_CHECK(text.empty() || input != nullptr);
  FUZZ_CHECK(read_next_boot_modes(input, *table) == 0);
  if (input != nullptr) std::fclose(input);
  FUZZ_CHECK(table->environment == nullptr);

  FUZZ_CHECK(table->flags == flags && !table->topology_written);
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
