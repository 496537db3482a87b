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

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

/// The literal at `p`, never read past the line's `end`; a NUL in the line
/// differs from every literal, so the form still ends there as for scanf.
/// Its length is known when compiled, so the comparison costs a few loads.
template <std::size_t N>
bool take_literal(const char*& p, const char* end, const char (&literal)[N]) {
  constexpr std::size_t kLength = N - 1;
  if (static_cast<std::size_t>(end - p) < kLength || std::memcmp(p, literal, kLength) != 0)
    return false;
  p += kLength;
  return true;
}

/// "%d": optional white space and sign, then digits. An id beyond the signed
/// 32-bit range still matches but is marked out of range, whatever its spelling.
bool take_decimal(const char*& p, HintMatch& match) {
  while (is_space(*p)) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!is_digit(*p)) return false;
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  std::uint64_t magnitude = 0;
  for (; is_digit(*p); ++p) {
    if (magnitude <= limit) magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
  }
  match.id_in_range = magnitude <= limit;
  if (match.id_in_range) {
    const auto signed_magnitude = static_cast<std::int64_t>(magnitude);
    match.id = static_cast<std::int32_t>(negative ? -signed_magnitude : signed_magnitude);
  }
  return true;
}

/// "%*[ =]": one or more spaces or equals signs; a tab does not count.
bool take_separator(const char*& p) {
  const char* start = p;
  while (*p == ' ' || *p == '=') ++p;
  return p != start;
}

/// "%*s": optional white space, then at least one other character.
bool take_value(const char* p) {
  while (is_space(*p)) ++p;
  return *p != '\0';
}

/// The forms, each read with scanf's rules: a literal head, for a hint a
/// decimal id and a literal tail, then a separator and a value. A line can
/// only be the form its first bytes name.
bool match_clock_hint(const char* p, const char* end, HintMatch& match) {
  return take_literal(p, end, "hint.apic.") && take_decimal(p, match) &&
         take_literal(p, end, ".clock") && take_separator(p) && take_value(p);
}

bool match_disable_hint(const char* p, const char* end, HintMatch& match) {
  return take_literal(p, end, "hint.lapic.") && take_decimal(p, match) &&
         take_literal(p, end, ".disabled") && take_separator(p) && take_value(p);
}

bool match_topology(const char* p, const char* end) {
  return take_literal(p, end, "kern.smp.topology") && take_separator(p) && take_value(p);
}

HintMatch match_scanf_form(const char* text, std::size_t length) {
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
  line.length = static_cast<std::size_t>(out + tail.size() - line.text.data());
  line.text[line.length] = '\0';
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

HintMatch EditPass::match_line(const LineBuffer& line) {
  const HintMatch match = match_scanf_form(line.text.data(), line.length);
  if (match.kind != HintKind::None) return match;
  reader_.feed({line.text.data(), line.length});
  return match_loader_setting(reader_.finish());
}

EditPass::LineFate EditPass::rewrite_clock_hint(LineBuffer& line, const HintMatch& match) {
  CoreEntry* core = core_named_by(table_, match);
  if (core == nullptr) return {.stray = true};
  LineFate fate{.repeat = core->clock_hint_done != 0};
  // A repeat is dropped, so formatting it would be wasted.
  if (!fate.repeat && (flags_ & WriteClockHint) != 0) {
    write_clock_hint(line, match.id);
    fate.rewritten = true;
  }
  core->clock_hint_done = 1;
  return fate;
}

EditPass::LineFate EditPass::rewrite_disable_hint(LineBuffer& line, const HintMatch& match) {
  CoreEntry* core = core_named_by(table_, match);
  if (core == nullptr) return {.stray = true};
  const bool repeat = core->disable_hint_done != 0;
  const LineFate fate{.repeat = repeat, .rewritten = !repeat};
  if (fate.rewritten) write_disable_hint(line, match.id, *core);
  core->disable_hint_done = 1;
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

/// Rewrites or drops the line as its match asks; true when the line's text
/// changed (replaced or dropped).
bool EditPass::apply(LineBuffer& line, const HintMatch& match) {
  LineFate fate;
  switch (match.kind) {
    case HintKind::Clock:
      fate = rewrite_clock_hint(line, match);
      break;
    case HintKind::Disable:
      fate = rewrite_disable_hint(line, match);
      break;
    case HintKind::Topology:
      fate = rewrite_topology(line);
      break;
    case HintKind::None:
      break;
  }
  const bool dropped = fate.repeat || (fate.stray && (flags_ & Strip) != 0);
  if (dropped) clear_line(line);
  return dropped || fate.rewritten;
}

int EditPass::rewrite_hint_line(LineBuffer& line) {
  try {
    if (!line.continues_line && line.ends_line) {
      apply(line, match_line(line));
      return 0;
    }
    // A line longer than one piece: judged whole, as the loader judges it,
    // while its pieces wait; it goes out unchanged unless it is a hint.
    reader_.feed({line.text.data(), line.length});
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
