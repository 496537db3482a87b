// SPDX-License-Identifier: BSD-2-Clause
// The edit pass (filter_lines with an EditPass) over any hints text, core
// table and modifiers. Each piece the filter hands over is checked against a
// model of the rules built on sscanf and on the boot loader's line grammar: a
// line that fits one piece by its scanf form or the loader's reading, a longer
// one, held back until it ends, by the loader's reading of the whole line.
// The whole output is checked against the lines, and the result against the
// promises the boot loader depends on: one disable hint per core, one clock
// hint per core with WriteClockHint, one topology line, the flat one, with
// Flat; and the written text, read as the loader and the kernel read it,
// boots with the table's split.
//
// The byte 0x1F followed by a count and a byte stands for count KiB of that
// byte, so that short inputs reach lines far longer than the held pieces'
// memory.

#include <climits>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cores/core_table.h"
#include "fuzz_input.h"
#include "hints/hint_rules.h"
#include "hints/loader/line_filter.h"
#include "loader_model.h"

namespace {

enum class Kind { None, Clock, Disable, Topology };

struct Classified {
  Kind kind = Kind::None;
  long long id = 0;
};

/// A line from which the loader sets one of the three variables.
Classified classify_loader_line(std::string_view text) {
  Classified c;
  if (text.ends_with('\n')) text.remove_suffix(1);
  const ModelLine line = model_loader_line(text, nullptr);
  if (line.kind != ModelKind::Setting || line.name.size() > kModelMaxName) return c;
  if (line.name == "kern.smp.topology") {
    c.kind = Kind::Topology;
    return c;
  }
  const std::optional<ModelHintName> hint = model_hint_name(line.name);
  if (!hint) return c;
  if (hint->driver == "apic" && hint->resource == "clock") c.kind = Kind::Clock;
  if (hint->driver == "lapic" && hint->resource == "disabled") c.kind = Kind::Disable;
  c.id = hint->unit;
  return c;
}

/// Whether a whole line (with its line feed, if any) fits the filter's one piece.
bool fits_one_piece(std::string_view line) { return line.size() <= kMaxLineLength; }

/// A line that fits one piece: the three forms read with sscanf itself (which
/// stops at a NUL), or else as the loader reads it. A longer line: only as the
/// loader reads it.
Classified classify(const std::string& line) {
  if (!fits_one_piece(line)) return classify_loader_line(line);
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
const CoreEntry* first_core(const CoreTable& table, long long id) {
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

/// The edit rules, kept apart from the product's state: which ids have had
/// their clock and disable hint, and whether the topology line was handled.
struct EditModel {
  EditModel(const CoreTable& edited, std::uint32_t modifiers) : table(edited), flags(modifiers) {}

  const CoreTable& table;
  std::uint32_t flags;
  std::set<std::uint32_t> clock_done;
  std::set<std::uint32_t> disable_done;
  bool topology_seen = false;  // Flat acts on the first topology line only

  /// What becomes of one whole line.
  std::string rewrite(const std::string& line) {
    const Classified c = classify(line);
    const bool strip = (flags & Strip) != 0;
    const CoreEntry* core = first_core(table, c.id);
    switch (c.kind) {
      case Kind::None:
        return line;
      case Kind::Topology:
        // With Flat the first one becomes the flat setting, later ones go as repeats.
        if (topology_seen) return (flags & Flat) != 0 ? "" : line;
        topology_seen = true;
        return (flags & Flat) != 0 ? std::string(kTopologyLine) : line;
      case Kind::Clock:
        if (core == nullptr) return strip ? "" : line;
        if (!clock_done.insert(core->apic_id).second) return "";
        return (flags & WriteClockHint) != 0 ? clock_line(static_cast<std::int32_t>(c.id)) : line;
      case Kind::Disable:
        if (core == nullptr) return strip ? "" : line;
        if (!disable_done.insert(core->apic_id).second) return "";
        return disable_line(static_cast<std::int32_t>(c.id), *core);
    }
    return line;
  }

  /// What the final pass appends next: missing clock hints, missing disable
  /// hints, then the topology, in table order. A core whose id an earlier
  /// core has gets nothing of its own.
  std::string append() {
    const std::span<const CoreEntry> cores(table.entries.get(), table.cpu_count);
    if ((flags & WriteClockHint) != 0) {
      for (const CoreEntry& core : cores) {
        if (clock_done.insert(core.apic_id).second) return clock_line(static_cast<std::int32_t>(core.apic_id));
      }
    }
    for (const CoreEntry& core : cores) {
      if (disable_done.insert(core.apic_id).second)
        return disable_line(static_cast<std::int32_t>(core.apic_id), core);
    }
    if ((flags & Flat) != 0 && !topology_seen) {
      topology_seen = true;
      return std::string(kTopologyLine);
    }
    return "";
  }
};

/// A piece lies in the filter's read block or in `text`, which a NUL then ends.
void check_buffer(const LineBuffer& line) {
  FUZZ_CHECK(line.data != nullptr && line.length <= kMaxLineLength);
  if (line.data == line.text.data()) FUZZ_CHECK(line.text[line.length] == '\0');
}

/// Drives the product's EditPass and checks every piece and appended line
/// against the model as the filter hands them over.
class CheckedEdit final : public LineHandler {
 public:
  CheckedEdit(CoreTable& table, const std::string& text)
      : pass_(table), model_(table, table.flags), text_(text) {}

  int read_line(LineBuffer& line) override {
    check_buffer(line);
    const std::string piece(line.data, line.length);
    // The filter cuts pieces as fgets would and says where lines end.
    const std::size_t feed = text_.find('\n', offset_);
    const std::size_t line_end = feed == std::string::npos ? text_.size() : feed + 1;
    FUZZ_CHECK(piece == text_.substr(offset_, std::min(line_end - offset_, kMaxLineLength)));
    offset_ += piece.size();
    FUZZ_CHECK(line.continues_line == !current_.empty());
    FUZZ_CHECK(line.ends_line == (offset_ == line_end));
    current_ += piece;

    FUZZ_CHECK(pass_.read_line(line) == 0);
    check_buffer(line);
    const std::string_view got(line.data, line.length);
    if (!line.ends_line) {
      FUZZ_CHECK(line.held == HeldPieces::Keep && got == piece);
      return 0;
    }
    const std::string expected = model_.rewrite(current_);
    if (!line.continues_line) {
      FUZZ_CHECK(line.held == HeldPieces::None && got == expected);
    } else if (expected == current_) {
      // A long line passes whole: the held pieces, then this one unchanged.
      FUZZ_CHECK(line.held == HeldPieces::Release && got == piece);
    } else {
      FUZZ_CHECK(line.held == HeldPieces::Drop && got == expected);
    }
    record(expected);
    current_.clear();
    return 0;
  }

  int final_line(LineBuffer& line) override {
    FUZZ_CHECK(offset_ == text_.size() && current_.empty());
    const std::string expected = model_.append();
    FUZZ_CHECK(pass_.final_line(line) == 0);
    check_buffer(line);
    FUZZ_CHECK(std::string_view(line.data, line.length) == expected);
    if (!expected.empty()) {
      // Each core gets at most one clock and one disable hint, plus one topology.
      FUZZ_CHECK(++appended_ <= 2 * model_.table.cpu_count + 1);
      if (appended_ == 1 && line_open_) record("\n");
      record(expected);
    }
    return 0;
  }

  const std::string& expected_output() const { return expected_output_; }

 private:
  void record(std::string_view written) {
    if (written.empty()) return;
    expected_output_ += written;
    line_open_ = written.back() != '\n';
  }

  EditPass pass_;
  EditModel model_;
  const std::string& text_;
  std::size_t offset_ = 0;  // where the next piece starts in the text
  std::string current_;     // the pieces of the line so far
  std::string expected_output_;
  bool line_open_ = false;  // the output so far does not end with a line feed
  std::size_t appended_ = 0;
};

/// Runs filter_lines over the text and returns what it wrote.
std::string run_filter(const std::string& text, LineHandler* handler) {
  // A read-only stream never writes into the text; an empty one stands for no input.
  std::FILE* input = text.empty() ? nullptr
                                  : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  FUZZ_CHECK(text.empty() || input != nullptr);
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* output = open_memstream(&data, &size);
  FUZZ_CHECK(output != nullptr);
  FUZZ_CHECK(filter_lines(input, output, handler) == 0);
  std::fclose(output);
  if (input != nullptr) std::fclose(input);
  std::string bytes(data, size);
  std::free(data);  // open_memstream's buffer belongs to the caller
  return bytes;
}

/// The lines of a text, each with its line feed.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

/// The promises over the whole output.
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
      if ((flags & Flat) != 0 && !first_topology_checked) FUZZ_CHECK(line == kTopologyLine);
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
    return;
  }
  // An unended last line of exactly one piece grows a line feed when lines
  // are appended, and so is judged as a longer line in the output.
  const std::vector<std::string> input_lines = split_lines(text);
  if (!input_lines.empty() && input_lines.back().size() == kMaxLineLength &&
      !input_lines.back().ends_with('\n'))
    return;
  int input_topology_lines = 0;
  for (const std::string& line : input_lines) {
    if (classify(line).kind == Kind::Topology) ++input_topology_lines;
  }
  FUZZ_CHECK(topology_lines == input_topology_lines);
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

  // Without a handler the filter is a byte-for-byte copy.
  FUZZ_CHECK(run_filter(text, nullptr) == text);

  const std::uint32_t flags = table->flags;
  CheckedEdit edit(*table, text);
  const std::string output = run_filter(text, &edit);
  FUZZ_CHECK(output == edit.expected_output());

  // The table serves one pass: every hint has been written; the modifiers
  // belong to the pass and the table keeps them.
  for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
    FUZZ_CHECK(table->entries[i].disable_hint_done);
    if ((flags & WriteClockHint) != 0) FUZZ_CHECK(table->entries[i].clock_hint_done);
  }
  FUZZ_CHECK(table->flags == flags);

  check_whole_lines(text, output, ids, flags);

  // The written text boots as the table splits it: each APIC id as its
  // first core says.
  if (const std::optional<ModelEnvironment> booted = model_loader_environment(output)) {
    for (std::uint32_t i = 0; i < table->cpu_count; ++i) {
      const CoreEntry* first = &table->entries[0];
      while (first->apic_id != table->entries[i].apic_id) ++first;
      const std::optional<bool> disabled = model_kernel_disables(*booted, first->apic_id);
      FUZZ_CHECK(disabled.has_value() && *disabled == (first->shared_next == 0));
    }
  }
  return 0;
}
