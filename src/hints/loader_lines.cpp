// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader_lines.h"

#include <array>
#include <climits>

namespace {

/// The character classes of the loader's patterns, in the C locale.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_char(char c) { return is_alnum(c) || c == '-' || c == '_' || c == '.'; }

/// A cursor over the line; reading past the end yields NUL, which no class holds.
struct Cursor {
  std::string_view text;
  std::size_t at = 0;

  [[nodiscard]] char peek() const { return at < text.size() ? text[at] : '\0'; }
  [[nodiscard]] bool at_end() const { return at >= text.size(); }
  void skip_space() {
    while (!at_end() && is_space(text[at])) ++at;
  }
  std::string_view take_while(bool (*in_class)(char)) {
    const std::size_t start = at;
    while (!at_end() && in_class(text[at])) ++at;
    return text.substr(start, at - start);
  }
};

/// `"..."` (the first closing quote ends it), or else a bare word.
bool take_value(Cursor& cursor, LoaderLine& line) {
  cursor.skip_space();
  if (cursor.peek() == '"') {
    const std::size_t close = cursor.text.find('"', cursor.at + 1);
    if (close != std::string_view::npos) {
      line.value = cursor.text.substr(cursor.at + 1, close - cursor.at - 1);
      line.quoted = true;
      cursor.at = close + 1;
      return true;
    }
  }
  const char first = cursor.peek();
  if (!is_alnum(first) && first != '-') return false;
  line.value = cursor.take_while(is_name_char);
  line.value_at_end = cursor.at_end();
  return true;
}

/// The rest of a line after its value: nothing, white space, or a comment.
bool take_tail(Cursor& cursor, LoaderLine& line) {
  cursor.skip_space();
  if (cursor.at_end()) return true;
  line.ends_in_comment = cursor.peek() == '#';
  return line.ends_in_comment;
}

/// Lines named <module>_load and the like are a module's settings: the loader
/// stores them as written, without escapes.
bool is_module_setting(std::string_view name) {
  constexpr std::array<std::string_view, 7> kSuffixes{"_load",  "_name",  "_type", "_flags",
                                                      "_before", "_after", "_error"};
  for (const std::string_view suffix : kSuffixes) {
    if (name.size() > suffix.size() && name.ends_with(suffix)) return true;
  }
  return false;
}

LoaderLine malformed() {
  LoaderLine line;
  line.kind = LoaderLineKind::Malformed;
  return line;
}

/// What processEnvVar-style expansion does with one "$..." at `at`: the
/// variable's name and where the text goes on; false for a bad expression.
bool take_variable(std::string_view value, std::size_t& at, std::string_view& name) {
  ++at;  // the '$'
  if (at >= value.size()) return false;
  if (value[at] == '{') {
    const std::size_t close = value.find('}', at + 1);
    if (close == std::string_view::npos || close == at + 1) return false;
    name = value.substr(at + 1, close - at - 1);
    at = close + 1;
    return true;
  }
  if (!is_alnum(value[at])) return false;
  const std::size_t start = at;
  while (at < value.size() && is_name_char(value[at])) ++at;
  name = value.substr(start, at - start);
  return true;
}

/// Walks an env_var value the way the loader does; `out`, when given, gets the result.
bool expand_value(std::string_view value, const LoaderEnvironment* environment,
                  std::string* out) {
  for (std::size_t at = 0; at < value.size();) {
    const char c = value[at];
    if (c == '\\') {
      if (at + 1 == value.size()) return false;
      if (out != nullptr) out->push_back(value[at + 1]);
      at += 2;
    } else if (c == '"') {
      return false;
    } else if (c == '$') {
      std::string_view name;
      if (!take_variable(value, at, name)) return false;
      if (out != nullptr && environment != nullptr) {
        const auto found = environment->values.find(name);
        if (found != environment->values.end()) out->append(found->second);
      }
    } else {
      if (out != nullptr) out->push_back(c);
      ++at;
    }
  }
  return true;
}

/// The unit as "%d" reads it (a sign, then digits) into a 32-bit int;
/// false when it is no number at all.
bool read_unit(std::string_view text, KernelHintName& hint) {
  const bool negative = text.starts_with('-');
  if (negative || text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return false;
  const std::int64_t limit = negative ? std::int64_t{INT32_MAX} + 1 : INT32_MAX;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (!is_digit(c)) return false;
    if (magnitude <= limit) magnitude = magnitude * 10 + (c - '0');
  }
  hint.unit_in_range = magnitude <= limit;
  if (hint.unit_in_range) hint.unit = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

bool is_hex_digit(char c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }

unsigned digit_value(char c) {
  return is_digit(c) ? static_cast<unsigned>(c - '0') : static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

}  // namespace

LoaderLine read_loader_line(std::string_view text) {
  Cursor cursor{text};
  cursor.skip_space();
  LoaderLine line;
  if (cursor.at_end() || cursor.peek() == '#') {
    line.ends_in_comment = !cursor.at_end();
    return line;
  }

  line.name = cursor.take_while(is_name_char);
  cursor.skip_space();
  if (line.name.empty() || cursor.peek() != '=') return malformed();
  ++cursor.at;
  if (!take_value(cursor, line) || !take_tail(cursor, line)) return malformed();

  if (is_module_setting(line.name)) {
    line.module_setting = true;
  } else if (line.name == "exec") {
    // Only the quoted form is a command; a bare word sets a variable named exec.
    line.kind = line.quoted ? LoaderLineKind::Command : LoaderLineKind::Setting;
    return line;
  } else if (!is_alnum(line.name.front()) || !expand_value(line.value, nullptr, nullptr)) {
    return malformed();
  }
  line.kind = LoaderLineKind::Setting;
  return line;
}

std::optional<std::string> loader_value(const LoaderLine& line,
                                        const LoaderEnvironment* environment) {
  std::string value;
  if (line.module_setting) {
    value = line.value;
    // A module's _load value is stored upper-cased.
    if (line.name.ends_with("_load")) {
      for (char& c : value) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
    }
    return value;
  }
  if (!expand_value(line.value, environment, &value)) return std::nullopt;
  return value;
}

std::optional<KernelHintName> read_kernel_hint_name(std::string_view name) {
  constexpr std::string_view kPrefix = "hint.";
  constexpr std::size_t kMaxField = 32;  // "%32[^.]" and "%32[^=]"
  if (!name.starts_with(kPrefix)) return std::nullopt;
  name.remove_prefix(kPrefix.size());
  const std::size_t driver_end = name.find('.');
  if (driver_end == std::string_view::npos || driver_end == 0 || driver_end > kMaxField)
    return std::nullopt;
  const std::size_t unit_end = name.find('.', driver_end + 1);
  if (unit_end == std::string_view::npos) return std::nullopt;
  KernelHintName hint;
  hint.driver = name.substr(0, driver_end);
  if (!read_unit(name.substr(driver_end + 1, unit_end - driver_end - 1), hint)) return std::nullopt;
  hint.resource = name.substr(unit_end + 1);
  if (hint.resource.empty() || hint.resource.size() > kMaxField) return std::nullopt;
  return hint;
}

bool is_disable_hint(const KernelHintName& hint) {
  return hint.driver == "lapic" && hint.resource == "disabled";
}

bool names_apic_id(const KernelHintName& hint, std::uint32_t apic_id) {
  return hint.unit_in_range && static_cast<std::uint32_t>(hint.unit) == apic_id;
}

KernelNumber read_kernel_number(std::string_view value) {
  std::size_t at = 0;
  while (at < value.size() && is_space(value[at])) ++at;
  if (at == value.size()) return KernelNumber::Blank;
  if (value[at] == '+' || value[at] == '-') ++at;
  const std::string_view body = value.substr(at);
  unsigned base = 10;
  std::string_view digits = body;
  if (body.size() > 2 && body[0] == '0' && (body[1] | 0x20) == 'x' && is_hex_digit(body[2])) {
    base = 16;
    digits.remove_prefix(2);
  } else if (body.starts_with('0')) {
    base = 8;
  }
  if (digits.empty()) return KernelNumber::NotANumber;
  // Only whether the low 32 bits are zero matters; a number too big for an
  // unsigned long reads as ULONG_MAX, whose are not.
  std::uint64_t number = 0;
  bool overflow = false;
  for (const char c : digits) {
    if (!is_hex_digit(c) || digit_value(c) >= base) return KernelNumber::NotANumber;
    const unsigned digit = digit_value(c);
    if (number > (UINT64_MAX - digit) / base) overflow = true;
    number = number * base + digit;
  }
  if (overflow || (number & 0xffffffffu) != 0) return KernelNumber::NonZero;
  return KernelNumber::Zero;
}

namespace {

/// The setting the kernel reads for `apic_id`, or the end of the environment.
auto deciding_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  constexpr std::string_view kPrefix = "hint.lapic.";
  for (auto it = environment.values.lower_bound(kPrefix);
       it != environment.values.end() && it->first.starts_with(kPrefix); ++it) {
    const std::optional<KernelHintName> hint = read_kernel_hint_name(it->first);
    if (!hint || !is_disable_hint(*hint) || !names_apic_id(*hint, apic_id)) continue;
    if (read_kernel_number(it->second) != KernelNumber::Blank) return it;
  }
  return environment.values.end();
}

}  // namespace

std::optional<bool> kernel_disables(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  const auto hint = deciding_disable_hint(environment, apic_id);
  if (hint == environment.values.end()) return std::nullopt;
  return read_kernel_number(hint->second) == KernelNumber::NonZero;
}

std::string_view kernel_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  const auto hint = deciding_disable_hint(environment, apic_id);
  return hint == environment.values.end() ? std::string_view{} : std::string_view{hint->first};
}
