// SPDX-License-Identifier: BSD-2-Clause
// The edit pass (filter_lines with rewrite_hint_line) over any hints text,
// core table and modifiers. Each piece is checked against a model of the
// rules built on sscanf and on the boot loader's line grammar, the whole
// output against the pieces, and the result against the promises the boot
// loader depends on: one disable hint per core, one clock hint per core with
// WriteClockHint, one topology line, the flat one, with Flat.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cores/core_table.h"
#include "fuzz_input.h"
#include "hints/hint_rules.h"
#include "hints/line_filter.h"
#include "loader_model.h"

namespace {

enum class Kind { None, Clock, Disable, Topology };

struct Classified {
  Kind kind = Kind::None;
  long long id = 0;
};

/// A line from which the loader sets one of the three variables.
Classified classify_loader_line(const std::string& text) {
  Classified c;
  const std::optional<ModelSetting> setting = model_loader_setting(text);
  if (!setting) return c;
  if (setting->name == "kern.smp.topology") {
    c.kind = Kind::Topology;
    return c;
  }
  const std::optional<ModelHintName> hint = model_hint_name(setting->name);
  if (!hint) return c;
  if (hint->driver == "apic" && hint->resource == "clock") c.kind = Kind::Clock;
  if (hint->driver == "lapic" && hint->resource == "disabled") c.kind = Kind::Disable;
  c.id = hint->unit;
  return c;
}

/// The three line forms read with sscanf itself (which stops at a NUL, as the
/// handlers do), or else as the loader reads them: a second opinion on the
/// product's own matcher.
Classified classify(const std::string& line) {
  const char* text = line.c_str();
  Classified c;
  int end = -1;
  if (std::sscanf(text, "hint.apic.%lld.clock%*[ =]%*s%n", &c.id, &end) >= 1 && end >= 0) {
    c.kind = Kind::Clock;
    return c;
  }
  end = -1;
  if (std::sscanf(text, "hint.lapic.%lld.disabled%*[ =]%*s%n", &c.id, &end) >= 1 && end >= 0) {
    c.kind = Kind::Disable;
    return c;
  }
  end = -1;
  std::sscanf(text, "kern.smp.topology%*[ =]%*s%n", &end);
  if (end >= 0) {
    c.kind = Kind::Topology;
    return c;
  }
  return classify_loader_line(line);
}

bool in_int32(long long id) { return id >= INT32_MIN && id <= INT32_MAX; }

/// The first entry with the id, found without the product's lookup.
CoreEntry* first_core(CoreTable& table, long long id) {
  if (!in_int32(id)) return nullptr;
  const auto wanted = static_cast<std::uint32_t>(static_cast<std::int32_t>(id));
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    if (table.entries[i].apic_id == wanted) return &table.entries[i];
  }
  return nullptr;
}

std::string clock_line(std::int32_t id) {
  char text[64];
  std::snprintf(text, sizeof text, "hint.apic.%d.clock=\"0\"\n", id);
  return text;
}

std::string disable_line(std::int32_t id, const CoreEntry& core) {
  char text[64];
  std::snprintf(text, sizeof text, "hint.lapic.%d.disabled=\"%d\"\n", id, core.shared_next ? 0 : 1);
  return text;
}

constexpr std::string_view kTopologyLine = "kern.smp.topology=\"2\"\n";

/// What the reading pass must make of one piece, given the table before it
/// and whether a topology line has been rewritten already.
std::string expected_rewrite(const std::string& piece, CoreTable& table, bool& topology_written) {
  const Classified c = classify(piece);
  const bool strip = (table.flags & Strip) != 0;
  switch (c.kind) {
    case Kind::None:
      return piece;
    case Kind::Topology:
      // With Flat the first one becomes the flat setting, later ones go as repeats.
      if (topology_written) return "";
      if ((table.flags & Flat) == 0) return piece;
      topology_written = true;
      return std::string(kTopologyLine);
    case Kind::Clock: {
      const CoreEntry* core = first_core(table, c.id);
      if (core == nullptr) return strip ? "" : piece;
      if (core->clock_hint_done) return "";
      return (table.flags & WriteClockHint) != 0 ? clock_line(static_cast<std::int32_t>(c.id)) : piece;
    }
    case Kind::Disable: {
      const CoreEntry* core = first_core(table, c.id);
      if (core == nullptr) return strip ? "" : piece;
      if (core->disable_hint_done) return "";
      return disable_line(static_cast<std::int32_t>(c.id), *core);
    }
  }
  return piece;
}

/// What the final pass must append next: missing clock hints, missing
/// disable hints, then the topology, in table order.
/// A core whose id an earlier core has gets nothing of its own.
std::string expected_append(CoreTable& table) {
  const std::span<const CoreEntry> cores(table.entries.get(), table.cpu_count);
  const auto first_of_id = [&](const CoreEntry& core) {
    return first_core(table, static_cast<std::int32_t>(core.apic_id)) == &core;
  };
  if ((table.flags & WriteClockHint) != 0) {
    for (const CoreEntry& core : cores) {
      if (!core.clock_hint_done && first_of_id(core))
        return clock_line(static_cast<std::int32_t>(core.apic_id));
    }
  }
  for (const CoreEntry& core : cores) {
    if (!core.disable_hint_done && first_of_id(core))
      return disable_line(static_cast<std::int32_t>(core.apic_id), core);
  }
  return (table.flags & Flat) != 0 ? std::string(kTopologyLine) : "";
}

/// What the handler saw and produced during one edit pass.
struct PassLog {
  std::string expected_output;
  bool line_open = false;     // the output so far does not end with a line feed
  bool split = false;         // an input line arrived in more than one piece
  bool at_line_start = true;  // the next piece begins a line
  bool drop_rest = false;     // the current line's first piece was rewritten or dropped
  bool topology_written = false;
  std::size_t appended = 0;
};

PassLog* g_log = nullptr;

void check_buffer(const LineBuffer& line) {
  FUZZ_CHECK(line.length <= kMaxLineLength);
  FUZZ_CHECK(line.text[line.length] == '\0');
}

void record(PassLog& log, std::string_view written) {
  if (written.empty()) return;
  log.expected_output += written;
  log.line_open = written.back() != '\n';
}

int checked_rewrite(LineBuffer& line, CoreTable& table, bool final_pass) {
  PassLog& log = *g_log;
  const std::uint32_t flags_before = table.flags;
  if (final_pass) {
    const std::string expected = expected_append(table);
    FUZZ_CHECK(rewrite_hint_line(line, table, true) == 0);
    check_buffer(line);
    const std::string got(line.text.data(), line.length);
    FUZZ_CHECK(got == expected);
    if (!got.empty()) {
      // Each core gets at most one clock and one disable hint, plus one topology.
      FUZZ_CHECK(++log.appended <= 2 * table.cpu_count + 1);
      if (log.appended == 1 && log.line_open) record(log, "\n");
      record(log, got);
    }
    if (got == kTopologyLine) FUZZ_CHECK(table.flags == (flags_before & ~std::uint32_t{Flat}));
    else FUZZ_CHECK(table.flags == flags_before);
    return 0;
  }

  check_buffer(line);
  const std::string piece(line.text.data(), line.length);
  if (line.length == kMaxLineLength && piece.back() != '\n') log.split = true;
  // The rest of a long line follows its first piece's fate and is never a hint.
  const bool begins_line = log.at_line_start;
  log.at_line_start = piece.back() == '\n';
  const Classified kind = begins_line ? classify(piece) : Classified{};
  std::string expected;
  if (begins_line) {
    expected = expected_rewrite(piece, table, log.topology_written);
    log.drop_rest = expected != piece;
  } else if (!log.drop_rest) {
    expected = piece;
  }
  FUZZ_CHECK(rewrite_hint_line(line, table, false) == 0);
  check_buffer(line);
  FUZZ_CHECK(std::string_view(line.text.data(), line.length) == expected);
  if (kind.kind == Kind::Topology) FUZZ_CHECK(table.flags == (flags_before & ~std::uint32_t{Flat}));
  else FUZZ_CHECK(table.flags == flags_before);
  record(log, expected);
  return 0;
}

/// Runs filter_lines over the text and returns what it wrote.
std::string run_filter(const std::string& text, LineFilterFn handler, CoreTable* table) {
  // A read-only stream never writes into the text; an empty one stands for no input.
  std::FILE* input = text.empty() ? nullptr
                                  : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  FUZZ_CHECK(text.empty() || input != nullptr);
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* output = open_memstream(&data, &size);
  FUZZ_CHECK(output != nullptr);
  FUZZ_CHECK(filter_lines(input, output, handler, table) == 0);
  std::fclose(output);
  if (input != nullptr) std::fclose(input);
  std::string bytes(data, size);
  std::free(data);  // open_memstream's buffer belongs to the caller
  return bytes;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

/// The promises over the whole output, for inputs whose lines all arrived whole.
void check_whole_lines(const std::string& text, const std::string& output,
                       const std::vector<std::uint32_t>& ids, std::uint32_t flags) {
  std::map<std::uint32_t, int> cores;  // id -> entries with that id
  for (const std::uint32_t id : ids) ++cores[id];
  std::map<std::uint32_t, int> disable_hints;
  std::map<std::uint32_t, int> clock_hints;
  int topology_lines = 0;
  bool first_topology_checked = false;
  for (const std::string& line : split_lines(output)) {
    const Classified c = classify(line);
    if (c.kind == Kind::Topology) {
      ++topology_lines;
      if ((flags & Flat) != 0 && !first_topology_checked) {
        FUZZ_CHECK(line + '\n' == kTopologyLine);
      }
      first_topology_checked = true;
    }
    if (!in_int32(c.id)) continue;
    const auto id = static_cast<std::uint32_t>(static_cast<std::int32_t>(c.id));
    if (!cores.contains(id)) continue;
    if (c.kind == Kind::Disable) ++disable_hints[id];
    if (c.kind == Kind::Clock) ++clock_hints[id];
  }
  // One disable hint per id, however often the driver repeats it.
  for (const auto& core : cores) {
    const std::uint32_t id = core.first;
    FUZZ_CHECK(disable_hints[id] == 1);
    if ((flags & WriteClockHint) != 0) FUZZ_CHECK(clock_hints[id] == 1);
    else FUZZ_CHECK(clock_hints[id] <= 1);
  }
  if ((flags & Flat) != 0) {
    FUZZ_CHECK(topology_lines == 1);
  } else {
    int input_topology_lines = 0;
    for (const std::string& line : split_lines(text)) {
      if (classify(line).kind == Kind::Topology) ++input_topology_lines;
    }
    FUZZ_CHECK(topology_lines == input_topology_lines);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in({data, size});
  std::vector<std::uint32_t> ids;
  const CoreTablePtr table = read_core_table(in, ids);
  const std::span<const std::uint8_t> rest = in.rest();
  const std::string text(rest.begin(), rest.end());

  // Without a handler the filter is a byte-for-byte copy.
  FUZZ_CHECK(run_filter(text, nullptr, nullptr) == text);

  const std::uint32_t flags = table->flags;
  PassLog log;
  g_log = &log;
  const std::string output = run_filter(text, checked_rewrite, table.get());
  g_log = nullptr;
  FUZZ_CHECK(output == log.expected_output);

  // The table serves one pass: every hint has been written and Flat is spent.
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    FUZZ_CHECK(table->entries[i].disable_hint_done);
    if ((flags & WriteClockHint) != 0) FUZZ_CHECK(table->entries[i].clock_hint_done);
  }
  FUZZ_CHECK(table->flags == (flags & ~std::uint32_t{Flat}));

  if (!log.split) check_whole_lines(text, output, ids, flags);
  return 0;
}
