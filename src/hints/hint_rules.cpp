// SPDX-License-Identifier: BSD-2-Clause
#include "hints/hint_rules.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "hints/loader_lines.h"

namespace {

/// How each kind of line is recognised: a literal head, an optional decimal
/// id and a literal tail make the key; the separator and value follow.
struct LineForm {
  HintKind kind;
  std::string_view head;
  bool has_id;
  std::string_view tail;
};

constexpr std::array kLineForms{
    LineForm{HintKind::Clock, "hint.apic.", true, ".clock"},
    LineForm{HintKind::Disable, "hint.lapic.", true, ".disabled"},
    LineForm{HintKind::Topology, "kern.smp.topology", false, ""},
};

/// White space as scanf sees it in the C locale.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

/// strncmp stops at a NUL in the text, so nothing past the line is read; it
/// compares a word at a time, which matters with millions of lines.
bool take_literal(const char*& p, std::string_view literal) {
  if (std::strncmp(p, literal.data(), literal.size()) != 0) return false;
  p += literal.size();
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

/// "%s": optional white space, then one or more other characters.
bool take_value(const char*& p, std::string_view& value) {
  while (is_space(*p)) ++p;
  const char* start = p;
  while (*p != '\0' && !is_space(*p)) ++p;
  value = std::string_view(start, static_cast<std::size_t>(p - start));
  return !value.empty();
}

bool match_form(const char* text, const LineForm& form, HintMatch& match) {
  const char* p = text;
  if (!take_literal(p, form.head)) return false;
  if (form.has_id && !take_decimal(p, match)) return false;
  return take_literal(p, form.tail) && take_separator(p) && take_value(p, match.value);
}

/// Sets the line's length from snprintf's result; our lines never come near the limit.
void take_formatted(LineBuffer& line, int written) {
  const std::size_t length = written < 0 ? 0 : static_cast<std::size_t>(written);
  line.length = length < kMaxLineLength ? length : kMaxLineLength;
  line.text[line.length] = '\0';
}

void write_clock_hint(LineBuffer& line, std::int32_t id) {
  take_formatted(line, std::snprintf(line.text.data(), line.text.size(),
                                     "hint.apic.%d.clock=\"0\"\n", id));
}

/// "0" keeps the core with the operating system at the next boot, "1" withholds it.
void write_disable_hint(LineBuffer& line, std::int32_t id, const CoreEntry& core) {
  take_formatted(line, std::snprintf(line.text.data(), line.text.size(),
                                     "hint.lapic.%d.disabled=\"%d\"\n", id,
                                     core.shared_next ? 0 : 1));
}

void write_topology(LineBuffer& line) { set_line(line, "kern.smp.topology=\"2\"\n"); }

CoreEntry* core_named_by(CoreTable& table, const HintMatch& match) {
  if (!match.id_in_range) return nullptr;
  return lookup_core(table, static_cast<std::uint32_t>(match.id));
}

/// Ids are written the way "%d" reads them back.
std::int32_t written_id(const CoreEntry& core) { return static_cast<std::int32_t>(core.apic_id); }

/// What to do with a line once it has been looked at.
struct LineFate {
  bool repeat = false;     // a hint of this kind was already passed or written for the core
  bool stray = false;      // the id is no core's
  bool rewritten = false;  // the line was replaced by its written form
};

LineFate rewrite_clock_hint(LineBuffer& line, CoreTable& table, const HintMatch& match) {
  CoreEntry* core = core_named_by(table, match);
  if (core == nullptr) return {.stray = true};
  LineFate fate{.repeat = core->clock_hint_done != 0};
  // A repeat is dropped, so formatting it would be wasted.
  if (!fate.repeat && (table.flags & WriteClockHint) != 0) {
    write_clock_hint(line, match.id);
    fate.rewritten = true;
  }
  core->clock_hint_done = 1;
  return fate;
}

LineFate rewrite_disable_hint(LineBuffer& line, CoreTable& table, const HintMatch& match) {
  CoreEntry* core = core_named_by(table, match);
  if (core == nullptr) return {.stray = true};
  const bool repeat = core->disable_hint_done != 0;
  const LineFate fate{.repeat = repeat, .rewritten = !repeat};
  if (fate.rewritten) write_disable_hint(line, match.id, *core);
  core->disable_hint_done = 1;
  return fate;
}

/// With Flat the first topology line becomes the flat setting and later ones
/// go, as repeats do: the loader keeps the last value of a name.
LineFate rewrite_topology(LineBuffer& line, CoreTable& table) {
  if (table.topology_written) return {.repeat = true};
  const LineFate fate{.rewritten = (table.flags & Flat) != 0};
  if (fate.rewritten) {
    write_topology(line);
    table.topology_written = true;
  }
  table.flags &= ~static_cast<std::uint32_t>(Flat);
  return fate;
}

/// A line that the scanf forms miss but from which the loader sets one of the
/// three variables (indented, tabs around "=", a bare value) is that hint too.
HintMatch match_loader_setting(std::string_view text) {
  const LoaderLine line = read_loader_line(text);
  HintMatch match;
  if (line.kind != LoaderLineKind::Setting) return match;
  match.value = line.value;
  if (line.name == "kern.smp.topology") {
    match.kind = HintKind::Topology;
    return match;
  }
  const std::optional<KernelHintName> hint = read_kernel_hint_name(line.name);
  if (!hint) return match;
  if (hint->driver == "apic" && hint->resource == "clock") {
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
  for (const LineForm& form : kLineForms) {
    HintMatch match;
    if (match_form(text, form, match)) {
      match.kind = form.kind;
      return match;
    }
  }
  return match_loader_setting({text, length});
}

HintMatch match_hint_line(const char* text) { return match_hint_line(text, std::strlen(text)); }

int rewrite_hint_line(LineBuffer& line, CoreTable& table, bool final_pass) {
  if (final_pass) return emit_pending_hint(line, table);
  // The rest of a long line follows its first piece: kept when that passed
  // unchanged, gone when it was rewritten or dropped.
  if (line.continues_line) {
    if (line.drop_continuation) clear_line(line);
    return 0;
  }

  const HintMatch match = match_hint_line(line.text.data(), line.length);
  LineFate fate;
  switch (match.kind) {
    case HintKind::Clock:
      fate = rewrite_clock_hint(line, table, match);
      break;
    case HintKind::Disable:
      fate = rewrite_disable_hint(line, table, match);
      break;
    case HintKind::Topology:
      fate = rewrite_topology(line, table);
      break;
    case HintKind::None:
      break;
  }
  const bool dropped = fate.repeat || (fate.stray && (table.flags & Strip) != 0);
  if (dropped) clear_line(line);
  line.drop_continuation = dropped || fate.rewritten;
  return 0;
}

int emit_pending_hint(LineBuffer& line, CoreTable& table) {
  clear_line(line);
  const std::span<CoreEntry> cores(table.entries.get(), table.entries ? table.cpu_count : 0);
  // A core whose id an earlier core already has gets no line of its own: the
  // loader keeps the last line of a name, so a second one would override the
  // first core's value (and could withhold the boot processor).
  if ((table.flags & WriteClockHint) != 0) {
    for (CoreEntry& core : cores) {
      if (core.clock_hint_done != 0) continue;
      core.clock_hint_done = 1;
      if (!is_first_of_its_id(table, core)) continue;
      write_clock_hint(line, written_id(core));
      return 0;
    }
  }
  for (CoreEntry& core : cores) {
    if (core.disable_hint_done != 0) continue;
    core.disable_hint_done = 1;
    if (!is_first_of_its_id(table, core)) continue;
    write_disable_hint(line, written_id(core), core);
    return 0;
  }
  if ((table.flags & Flat) != 0) {
    write_topology(line);
    table.flags &= ~static_cast<std::uint32_t>(Flat);
  }
  return 0;
}
