// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A second opinion on how the boot loader reads a line of a hints file and
// how the kernel reads a hint's name, written apart from the product's reader
// (string searches and sscanf, no cursor) so that the two can be compared.

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view kModelSpace = " \t\n\v\f\r";
inline constexpr std::string_view kModelAlnum =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

/// One line from which the loader sets a variable.
struct ModelSetting {
  std::string name;
  std::string value;           // as stored: escapes resolved, every $name empty
  std::size_t value_end = 0;   // just past the value (its closing quote)
  bool bare = false;
};

/// The loader's processing of a value: `\x` is x, a lone `\`, a quote or a bad
/// `$` refuses the line. Expansions read as empty: the file alone cannot say
/// what the loader's environment holds.
inline std::optional<std::string> model_expand(std::string_view raw) {
  const std::string name_chars = std::string(kModelAlnum) + "-_.";
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
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
      i = close;
    } else {
      if (i + 1 == raw.size() || kModelAlnum.find(raw[i + 1]) == std::string_view::npos)
        return std::nullopt;
      i = std::min(raw.find_first_not_of(name_chars, i + 1), raw.size()) - 1;
    }
  }
  return out;
}

/// White space, a name, white space, "=", white space, then "..." (the first
/// closing quote ends it) or, only when that is missing, one bare word; after
/// it only white space or a comment.
inline std::optional<ModelSetting> model_loader_setting(std::string_view line) {
  const std::string name_chars = std::string(kModelAlnum) + "-_.";
  const auto skip_space = [&](std::size_t at) {
    return std::min(line.find_first_not_of(kModelSpace, at), line.size());
  };
  std::size_t at = skip_space(0);
  if (at == line.size() || kModelAlnum.find(line[at]) == std::string_view::npos) return std::nullopt;
  const std::size_t name_end = std::min(line.find_first_not_of(name_chars, at), line.size());
  ModelSetting setting;
  setting.name = line.substr(at, name_end - at);
  at = skip_space(name_end);
  if (at == line.size() || line[at] != '=') return std::nullopt;
  at = skip_space(at + 1);
  std::string_view raw;
  const std::size_t close = at < line.size() && line[at] == '"' ? line.find('"', at + 1)
                                                                  : std::string_view::npos;
  if (close != std::string_view::npos) {
    raw = line.substr(at + 1, close - at - 1);
    setting.value_end = close + 1;
  } else {
    if (at == line.size() || (kModelAlnum.find(line[at]) == std::string_view::npos && line[at] != '-'))
      return std::nullopt;
    setting.value_end = std::min(line.find_first_not_of(name_chars, at), line.size());
    raw = line.substr(at, setting.value_end - at);
    setting.bare = true;
  }
  const std::size_t rest = line.find_first_not_of(kModelSpace, setting.value_end);
  if (rest != std::string_view::npos && line[rest] != '#') return std::nullopt;
  std::optional<std::string> value = model_expand(raw);
  if (!value) return std::nullopt;
  setting.value = std::move(*value);
  return setting;
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
