// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "cores/core_table.h"
#include "hints/loader/line_filter.h"
#include "hints/loader/loader_lines.h"

/// The three kinds of line of the hints file that the tool reads and writes.
enum class HintKind {
  None,      // any other line: passes unchanged
  Clock,     // hint.apic.<id>.clock=...
  Disable,   // hint.lapic.<id>.disabled=...
  Topology,  // kern.smp.topology=...
};

/// What a line is: read with the scanf rules of its form (the key at the very
/// start of the line, the id as "%d" reads it, a separator run of spaces and
/// equals signs, then a value; the whole form must match), or else as the
/// boot loader reads it, when the loader sets one of the three variables from it.
struct HintMatch {
  HintKind kind = HintKind::None;
  std::int32_t id = 0;       // clock and disable hints
  bool id_in_range = false;  // false: the id does not fit "%d" and names no core
};

/// Recognises a clock hint, a disable hint or a topology setting in the
/// `length` bytes of `text` (the scanf forms are judged up to the first NUL,
/// the loader reads them all); kind None for every other line.
HintMatch match_hint_line(const char* text, std::size_t length);

/// The same for a string that ends at its first NUL.
HintMatch match_hint_line(const char* text);

/// The edit pass: rewrites the disable hints of known cores, the clock hints
/// (WriteClockHint) and the topology line (Flat), drops repeats and, with
/// Strip, hints of unknown ids; in the final pass appends what the file
/// lacked. It marks the table's done bits, so a table serves one pass.
class EditPass final : public LineHandler {
 public:
  explicit EditPass(CoreTable& table) : table_(table), flags_(table.flags) {}

  int read_line(LineBuffer& line) override { return rewrite_hint_line(line); }
  int final_line(LineBuffer& line) override { return emit_pending_hint(line); }

  /// The reading pass's handler. A line longer than one piece is held back
  /// until it ends and then taken as a hint exactly when the loader sets one
  /// of the three variables from it. 0, or 12 when memory runs out.
  int rewrite_hint_line(LineBuffer& line);

  /// Writes the next missing line into `line`: clock hints (WriteClockHint),
  /// then disable hints, in table order, then the topology setting (Flat);
  /// leaves it empty when nothing is missing. Always 0.
  int emit_pending_hint(LineBuffer& line);

 private:
  struct LineFate {
    bool repeat = false;     // a hint of this kind was already passed or written for the core
    bool stray = false;      // the id is no core's
    bool rewritten = false;  // the line was replaced by its written form
  };

  bool is_repeat(HintMatch match);
  int rewrite_first_line(LineBuffer& line, HintMatch match);
  int rewrite_loader_line(LineBuffer& line);
  int rewrite_long_line(LineBuffer& line);
  bool apply(LineBuffer& line, const HintMatch& match);
  LineFate rewrite(LineBuffer& line, const HintMatch& match);
  LineFate rewrite_clock_hint(LineBuffer& line, std::int32_t id, CoreEntry& core);
  LineFate rewrite_disable_hint(LineBuffer& line, std::int32_t id, CoreEntry& core);
  LineFate rewrite_topology(LineBuffer& line);

  CoreTable& table_;
  std::uint32_t flags_;            // UpdateFlags; Flat goes once the topology line is handled
  bool topology_written_ = false;  // --flat rewrote the first topology line; later ones go
  LoaderLineReader reader_{nullptr};
};
