// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A second opinion on how the boot loader reads a line of a hints file and
// how the kernel reads a hint's name and value, written apart from the
// product's reader (string searches, sscanf and strtoul, no cursor) so that
// the two can be compared. It follows the loader's own order: a comment,
// then the module forms (<module>_load and the like, stored as written),
// then exec="...", then name=value with its escapes and $name expansions.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view kModelSpace = " \t\n\v\f\r";
inline constexpr std::string_view kModelAlnum =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
inline constexpr std::string_view kModelNameChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";

/// The tool reads nothing of a name longer than this (a documented limit):
/// such a line sets nothing and names no hint.
inline constexpr std::size_t kModelMaxName = 4096;

/// Beyond this many bytes in one value the model gives up on the input: the
/// product keeps 64 KiB, so values between the two still check its reading.
inline constexpr std::size_t kModelMaxValue = std::size_t{256} * 1024;

/// The tool keeps this much of a value; of a longer one expanded after other
/// text it cannot read the whole (a documented limit), so the model gives up.
inline constexpr std::size_t kModelHeldValue = std::size_t{64} * 1024;

/// name -> value, as the loader's environment holds them.
using ModelEnvironment = std::map<std::string, std::string>;

enum class ModelKind { Ignored, Setting, Command, Malformed };

struct ModelLine {
  ModelKind kind = ModelKind::Ignored;
  std::string name;
  std::string value;      // as stored: a C string, so cut at its first NUL
  bool too_big = false;   // past kModelMaxValue, or a long value after text: no answer
};

/// The loader's processing of a value: `\x` is x, a lone `\`, a quote or a bad
/// `$` refuses the line; $name and ${name} read from `environment` (empty
/// when it lacks the name, or when there is none).
inline std::optional<std::string> model_expand(std::string_view raw, const ModelEnvironment* environment,
                                               bool& too_big) {
  std::string out;
  const auto append_variable = [&](std::string_view name) {
    // The loader looks the name up as a C string.
    name = name.substr(0, std::min(name.find('\0'), name.size()));
    if (environment == nullptr) return;
    const auto found = environment->find(std::string(name));
    if (found == environment->end()) return;
    const bool ended = out.find('\0') != std::string::npos;
    if (!ended && found->second.size() > kModelHeldValue &&
        out.find_first_not_of(kModelSpace) != std::string::npos)
      too_big = true;
    out += found->second;
  };
  // Without an environment nothing grows, and only the line's form is asked.
  const bool bounded = environment != nullptr;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (bounded && out.size() > kModelMaxValue) {
      too_big = true;
      return std::nullopt;
    }
    if (raw[i] == '\\') {
      if (++i == raw.size()) return std::nullopt;
      out += raw[i];
    } else if (raw[i] == '"') {
      return std::nullopt;
    } else if (raw[i] != '$') {
      out += raw[i];
    } else if (raw.substr(i + 1).starts_with('{')) {
      const std::size_t close = raw.find('}', i + 2);
      if (close == std::string_view::npos || close == i + 2) return std::nullopt;
      append_variable(raw.substr(i + 2, close - i - 2));
      if (too_big) return std::nullopt;
      i = close;
    } else {
      if (i + 1 == raw.size() || kModelAlnum.find(raw[i + 1]) == std::string_view::npos)
        return std::nullopt;
      const std::size_t end = std::min(raw.find_first_not_of(kModelNameChars, i + 1), raw.size());
      append_variable(raw.substr(i + 1, end - i - 1));
      if (too_big) return std::nullopt;
      i = end - 1;
    }
  }
  too_big = too_big || (bounded && out.size() > kModelMaxValue);
  return out;
}

inline std::string model_c_string(std::string value) {
  value.resize(std::min(value.find('\0'), value.size()));
  return value;
}

/// What the loader makes of one line (without its line feed): white space, a
/// name, white space, "=", white space, then "..." (the first closing quote
/// ends it) or, only when that is missing, one bare word; after it only white
/// space or a comment. `environment` gives the $name values (none: empty).
inline ModelLine model_loader_line(std::string_view line, const ModelEnvironment* environment) {
  ModelLine result;
  const auto skip_space = [&](std::size_t at) {
    return std::min(line.find_first_not_of(kModelSpace, at), line.size());
  };
  std::size_t at = skip_space(0);
  if (at == line.size() || line[at] == '#') return result;
  result.kind = ModelKind::Malformed;
  const std::size_t name_end = std::min(line.find_first_not_of(kModelNameChars, at), line.size());
  const std::string_view name = line.substr(at, name_end - at);
  at = skip_space(name_end);
  if (name.empty() || at == line.size() || line[at] != '=') return result;
  at = skip_space(at + 1);

  std::string_view raw;
  std::size_t value_end = 0;
  const std::size_t close = at < line.size() && line[at] == '"' ? line.find('"', at + 1)
                                                                  : std::string_view::npos;
  const bool quoted = close != std::string_view::npos;
  if (quoted) {
    raw = line.substr(at + 1, close - at - 1);
    value_end = close + 1;
  } else {
    if (at == line.size() || (kModelAlnum.find(line[at]) == std::string_view::npos && line[at] != '-'))
      return result;
    value_end = std::min(line.find_first_not_of(kModelNameChars, at), line.size());
    raw = line.substr(at, value_end - at);
  }
  const std::size_t rest = line.find_first_not_of(kModelSpace, value_end);
  if (rest != std::string_view::npos && line[rest] != '#') return result;
  result.name = name;

  // A module's settings are stored as written; a _load value upper-cased.
  for (const std::string_view suffix : {"_load", "_name", "_type", "_flags", "_before", "_after", "_error"}) {
    if (name.size() <= suffix.size() || !name.ends_with(suffix)) continue;
    result.value = model_c_string(std::string(raw));
    if (suffix == "_load") {
      for (char& c : result.value) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      }
    }
    result.kind = ModelKind::Setting;
    return result;
  }
  if (quoted && name == "exec") {
    result.kind = ModelKind::Command;
    return result;
  }
  if (kModelAlnum.find(name.front()) == std::string_view::npos) return result;
  std::optional<std::string> value = model_expand(raw, environment, result.too_big);
  if (!value) return result;
  result.value = model_c_string(std::move(*value));
  result.kind = ModelKind::Setting;
  return result;
}

/// What the loader sets from a whole text: each line read with what the
/// lines before it set. loader_conf_files never reaches the environment,
/// and the tool reads nothing of a name past kModelMaxName. None when a
/// value grew past kModelMaxValue.
inline std::optional<ModelEnvironment> model_loader_environment(std::string_view text) {
  ModelEnvironment environment;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const ModelLine line = model_loader_line(text.substr(start, end - start), &environment);
    start = end + 1;
    if (line.too_big) return std::nullopt;
    if (line.kind != ModelKind::Setting || line.name == "loader_conf_files" ||
        line.name.size() > kModelMaxName)
      continue;
    environment[line.name] = line.value;
  }
  return environment;
}

/// A hint's name as the kernel's sscanf pattern takes it apart.
struct ModelHintName {
  std::string driver, resource;
  long long unit = 0;
};

inline std::optional<ModelHintName> model_hint_name(const std::string& name) {
  char driver[33];
  char resource[33];
  ModelHintName hint;
  int end = -1;
  const std::string entry = name + "=";
  if (std::sscanf(entry.c_str(), "hint.%32[^.].%lld.%32[^=]=%n", driver, &hint.unit, resource,
                  &end) != 3 ||
      end != static_cast<int>(entry.size()))
    return std::nullopt;
  hint.driver = driver;
  hint.resource = resource;
  return hint;
}

/// Whether the kernel withholds the processor with `apic_id`; none when no
/// hint with a non-blank value names it. The environment is walked in strcmp
/// order, which std::string's comparison keeps for names without NUL bytes.
inline std::optional<bool> model_kernel_disables(const ModelEnvironment& environment, std::uint32_t apic_id) {
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
