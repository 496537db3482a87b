// SPDX-License-Identifier: BSD-2-Clause
#include "hints/hint_rules.h"

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <new>
#include <optional>

#include "hints/loader/kernel_hints.h"

namespace {

/// White space as scanf sees it in the C locale, looked up: lines are many.
constexpr std::array<bool, 256> kScanfSpace = [] {
  std::array<bool, 256> table{};
  for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'}) table[c] = true;
  return table;
}();

bool is_space(char c) { return kScanfSpace[static_cast<unsigned char>(c)]; }

unsigned digit_value(char c) { return static_cast<unsigned char>(c) - unsigned{'0'}; }

bool is_digit(char c) { return digit_value(c) < 10; }

/// What may follow a lone "=" as the first byte of a value: neither white
/// space nor more of the separator nor the NUL that ends the line for scanf.
constexpr std::array<bool, 256> kValueStart = [] {
  std::array<bool, 256> table{};
  table.fill(true);
  for (const unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r', '=', '\0'}) table[c] = false;
  return table;
}();

/// The scanf forms read a line as a C string: its first NUL ends it. Each
/// step below takes its part of the form at `p` and returns where the line
/// goes on, or nullptr when the part is not there; none reads past `end`,
/// since a line handed over where it lies in the input has no NUL after it.
///
/// The steps a hint line goes through are inlined by force: on a file of a
/// million hint lines a call per step cost more than the steps themselves
/// (the edit pass took half as long again).

/// The literal; a NUL in the line differs from every literal. Its length is
/// known when compiled, so the comparison costs a few loads.
template <std::size_t N>
const char* take_literal(const char* p, const char* end, const char (&literal)[N]) {
  constexpr std::size_t kLength = N - 1;
  if (static_cast<std::size_t>(end - p) < kLength || std::memcmp(p, literal, kLength) != 0)
    return nullptr;
  return p + kLength;
}

const char* skip_space(const char* p, const char* end) {
  while (p != end && is_space(*p)) ++p;
  return p;
}

/// "%d" the long way: optional white space and sign, then digits. An id
/// beyond the signed 32-bit range still matches but is marked out of range,
/// whatever its spelling.
const char* take_any_decimal(const char* p, const char* end, HintMatch& match) {
  p = skip_space(p, end);
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '-' || *p == '+')) ++p;
  if (p == end || !is_digit(*p)) return nullptr;
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  std::uint64_t magnitude = 0;
  for (; p != end && is_digit(*p); ++p) {
    if (magnitude <= limit) magnitude = magnitude * 10 + digit_value(*p);
  }
  match.id_in_range = magnitude <= limit;
  if (match.id_in_range) {
    const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
    match.id = static_cast<std::int32_t>(negative ? -signed_magnitude : signed_magnitude);
  }
  return p;
}

/// "%d". Hints are written with a few digits and nothing before them: up to
/// three are read straight, with no loop, anything else the long way.
[[gnu::always_inline]] inline const char* take_decimal(const char* p, const char* end, HintMatch& match) {
  if (end - p >= 4 && is_digit(p[0])) {
    std::uint32_t value = digit_value(p[0]);
    std::size_t count = 1;
    if (is_digit(p[1])) {
      value = value * 10 + digit_value(p[1]);
      count = 2;
      if (is_digit(p[2])) {
        value = value * 10 + digit_value(p[2]);
        count = 3;
      }
    }
    if (!is_digit(p[count])) {
      match.id = static_cast<std::int32_t>(value);
      match.id_in_range = true;
      return p + count;
    }
  }
  return take_any_decimal(p, end, match);
}

/// "%*[ =]%*s": one or more spaces or equals signs (a tab does not count),
/// then optional white space and at least one other character.
bool take_separator_and_value(const char* p, const char* end) {
  // Most lines: one "=" and the value straight after it.
  if (end - p >= 2 && p[0] == '=' && kValueStart[static_cast<unsigned char>(p[1])]) return true;
  const char* start = p;
  while (p != end && (*p == ' ' || *p == '=')) ++p;
  if (p == start) return false;
  p = skip_space(p, end);
  return p != end && *p != '\0';
}

/// The forms, each read with scanf's rules: a literal head, for a hint a
/// decimal id and a literal tail, then a separator and a value. A line can
/// only be the form its first bytes name.
bool match_clock_hint(const char* p, const char* end, HintMatch& match) {
  p = take_literal(p, end, "hint.apic.");
  if (p != nullptr) p = take_decimal(p, end, match);
  if (p != nullptr) p = take_literal(p, end, ".clock");
  return p != nullptr && take_separator_and_value(p, end);
}

bool match_disable_hint(const char* p, const char* end, HintMatch& match) {
  p = take_literal(p, end, "hint.lapic.");
  if (p != nullptr) p = take_decimal(p, end, match);
  if (p != nullptr) p = take_literal(p, end, ".disabled");
  return p != nullptr && take_separator_and_value(p, end);
}

bool match_topology(const char* p, const char* end) {
  p = take_literal(p, end, "kern.smp.topology");
  return p != nullptr && take_separator_and_value(p, end);
}

/// The form the line has, or kind None.
[[gnu::always_inline]] inline HintMatch match_scanf_form(const char* text, std::size_t length) {
  HintMatch match;
  constexpr std::size_t kShortest = sizeof "hint.apic.0.clock=x" - 1;
  if (length < kShortest) return match;
  const char* end = text + length;
  if (text[0] == 'k') {
    if (match_topology(text, end)) match.kind = HintKind::Topology;
  } else if (text[0] == 'h' && text[5] == 'a') {
    if (match_clock_hint(text, end, match)) match.kind = HintKind::Clock;
  } else if (text[0] == 'h' && text[5] == 'l') {
    if (match_disable_hint(text, end, match)) match.kind = HintKind::Disable;
  }
  return match;
}

/// Writes `id` in decimal at `out`, as "%d" would; returns the end.
char* put_decimal(char* out, std::int32_t id) {
  return std::to_chars(out, out + 12, id).ptr;
}

/// Builds `head` id `tail` in the line: what snprintf would write, without
/// its cost on millions of lines.
void write_hint(LineBuffer& line, std::string_view head, std::int32_t id, std::string_view tail) {
  char* out = line.text.data();
  std::memcpy(out, head.data(), head.size());
  out = put_decimal(out + head.size(), id);
  std::memcpy(out, tail.data(), tail.size());
  use_text(line, static_cast<std::size_t>(out + tail.size() - line.text.data()));
}

void write_clock_hint(LineBuffer& line, std::int32_t id) {
  write_hint(line, "hint.apic.", id, ".clock=\"0\"\n");
}

/// "0" keeps the core with the operating system at the next boot, "1" withholds it.
void write_disable_hint(LineBuffer& line, std::int32_t id, const CoreEntry& core) {
  write_hint(line, "hint.lapic.", id, core.shared_next ? ".disabled=\"0\"\n" : ".disabled=\"1\"\n");
}

void write_topology(LineBuffer& line) { set_line(line, "kern.smp.topology=\"2\"\n"); }

CoreEntry* core_named_by(CoreTable& table, const HintMatch& match) {
  if (!match.id_in_range) return nullptr;
  return lookup_core(table, static_cast<std::uint32_t>(match.id));
}

/// Whether a line of the core's clock or disable hint (`kind`) was passed
/// or written already: a later one is a repeat.
bool hint_done(const CoreEntry& core, HintKind kind) {
  return (kind == HintKind::Clock ? core.clock_hint_done : core.disable_hint_done) != 0;
}

/// Ids are written the way "%d" reads them back.
std::int32_t written_id(const CoreEntry& core) { return static_cast<std::int32_t>(core.apic_id); }

/// A line that the scanf forms miss but from which the loader sets one of the
/// three variables (indented, tabs around "=", a bare value) is that hint too.
HintMatch match_loader_setting(const LoaderLine& line) {
  HintMatch match;
  if (line.kind != LoaderLineKind::Setting) return match;
  if (line.name == "kern.smp.topology") {
    match.kind = HintKind::Topology;
    return match;
  }
  const std::optional<KernelHintName> hint = read_kernel_hint_name(line.name);
  if (!hint) return match;
  if (is_clock_hint(*hint)) {
    match.kind = HintKind::Clock;
  } else if (is_disable_hint(*hint)) {
    match.kind = HintKind::Disable;
  } else {
    return match;
  }
  match.id = hint->unit;
  match.id_in_range = hint->unit_in_range;
  return match;
}

}  // namespace

HintMatch match_hint_line(const char* text, std::size_t length) {
  const HintMatch match = match_scanf_form(text, length);
  if (match.kind != HintKind::None) return match;
  return match_loader_setting(read_loader_line({text, length}));
}

HintMatch match_hint_line(const char* text) { return match_hint_line(text, std::strlen(text)); }

EditPass::LineFate EditPass::rewrite_clock_hint(LineBuffer& line, std::int32_t id, CoreEntry& core) {
  LineFate fate{.repeat = hint_done(core, HintKind::Clock)};
  // A repeat is dropped, so formatting it would be wasted.
  if (!fate.repeat && (flags_ & WriteClockHint) != 0) {
    write_clock_hint(line, id);
    fate.rewritten = true;
  }
  core.clock_hint_done = 1;
  return fate;
}

EditPass::LineFate EditPass::rewrite_disable_hint(LineBuffer& line, std::int32_t id, CoreEntry& core) {
  const bool repeat = hint_done(core, HintKind::Disable);
  const LineFate fate{.repeat = repeat, .rewritten = !repeat};
  if (fate.rewritten) write_disable_hint(line, id, core);
  core.disable_hint_done = 1;
  return fate;
}

/// With Flat the first topology line becomes the flat setting and later ones
/// go, as repeats do: the loader keeps the last value of a name.
EditPass::LineFate EditPass::rewrite_topology(LineBuffer& line) {
  if (topology_written_) return {.repeat = true};
  const LineFate fate{.rewritten = (flags_ & Flat) != 0};
  if (fate.rewritten) {
    write_topology(line);
    topology_written_ = true;
  }
  flags_ &= ~static_cast<std::uint32_t>(Flat);
  return fate;
}

/// What becomes of a hint or topology line.
EditPass::LineFate EditPass::rewrite(LineBuffer& line, const HintMatch& match) {
  if (match.kind == HintKind::Topology) return rewrite_topology(line);
  CoreEntry* core = core_named_by(table_, match);
  if (core == nullptr) return {.stray = true};
  return match.kind == HintKind::Clock ? rewrite_clock_hint(line, match.id, *core)
                                       : rewrite_disable_hint(line, match.id, *core);
}

/// Rewrites or drops the line as its match asks; true when the line's text
/// changed (replaced or dropped).
bool EditPass::apply(LineBuffer& line, const HintMatch& match) {
  if (match.kind == HintKind::None) return false;
  const LineFate fate = rewrite(line, match);
  const bool dropped = fate.repeat || (fate.stray && (flags_ & Strip) != 0);
  if (dropped) clear_line(line);
  return dropped || fate.rewritten;
}

/// Whether a line of this match was passed or written already. Inlined by
/// force for the reason the scanf forms are.
[[gnu::always_inline]] inline bool EditPass::is_repeat(HintMatch match) {
  if (match.kind == HintKind::Topology) return topology_written_;
  const CoreEntry* core = core_named_by(table_, match);
  return core != nullptr && hint_done(*core, match.kind);
}

int EditPass::rewrite_hint_line(LineBuffer& line) {
  // Most lines are whole in one piece and match a scanf form, and most lines
  // of a big file repeat a hint: those go without a call.
  if (line.continues_line || !line.ends_line) return rewrite_long_line(line);
  const HintMatch match = match_scanf_form(line.data, line.length);
  if (match.kind == HintKind::None) return rewrite_loader_line(line);
  if (!is_repeat(match)) return rewrite_first_line(line, match);
  clear_line(line);  // as apply drops a repeat
  return 0;
}

/// A call of its own, the last thing rewrite_hint_line does, so that the
/// repeats there need no register saved for it.
int EditPass::rewrite_first_line(LineBuffer& line, HintMatch match) {
  apply(line, match);
  return 0;
}

int EditPass::rewrite_loader_line(LineBuffer& line) {
  try {
    reader_.feed({line.data, line.length});
    apply(line, match_loader_setting(reader_.finish()));
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

int EditPass::rewrite_long_line(LineBuffer& line) {
  try {
    // Judged whole, as the loader judges it, while its pieces wait; it goes
    // out unchanged unless it is a hint.
    reader_.feed({line.data, line.length});
    if (!line.ends_line) {
      line.held = HeldPieces::Keep;
      return 0;
    }
    const bool changed = apply(line, match_loader_setting(reader_.finish()));
    line.held = changed ? HeldPieces::Drop : HeldPieces::Release;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

int EditPass::emit_pending_hint(LineBuffer& line) {
  clear_line(line);
  const std::span<CoreEntry> cores(table_.entries.get(), table_.entries ? table_.cpu_count : 0);
  // A core whose id an earlier core already has gets no line of its own: the
  // loader keeps the last line of a name, so a second one would override the
  // first core's value (and could withhold the boot processor).
  if ((flags_ & WriteClockHint) != 0) {
    for (CoreEntry& core : cores) {
      if (core.clock_hint_done != 0) continue;
      core.clock_hint_done = 1;
      if (!is_first_of_its_id(table_, core)) continue;
      write_clock_hint(line, written_id(core));
      return 0;
    }
  }
  for (CoreEntry& core : cores) {
    if (core.disable_hint_done != 0) continue;
    core.disable_hint_done = 1;
    if (!is_first_of_its_id(table_, core)) continue;
    write_disable_hint(line, written_id(core), core);
    return 0;
  }
  if ((flags_ & Flat) != 0) {
    write_topology(line);
    flags_ &= ~static_cast<std::uint32_t>(Flat);
  }
  return 0;
}
