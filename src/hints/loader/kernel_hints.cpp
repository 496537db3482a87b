// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/kernel_hints.h"

#include <algorithm>
#include <climits>
#include <string>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

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

/// The setting the kernel reads for `unit`, or the end of the environment.
auto deciding_hint(const LoaderEnvironment& environment, std::string_view driver,
                   std::string_view resource, std::uint32_t unit) {
  const std::string prefix = "hint." + std::string(driver) + ".";
  for (auto it = environment.values.lower_bound(prefix);
       it != environment.values.end() && it->first.starts_with(prefix); ++it) {
    const std::optional<KernelHintName> hint = read_kernel_hint_name(it->first);
    if (!hint || hint->driver != driver || hint->resource != resource || !names_apic_id(*hint, unit))
      continue;
    if (it->second.kernel_number() != KernelNumber::Blank) return it;
  }
  return environment.values.end();
}

auto deciding_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  return deciding_hint(environment, "lapic", "disabled", apic_id);
}

}  // namespace

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

bool is_clock_hint(const KernelHintName& hint) {
  return hint.driver == "apic" && hint.resource == "clock";
}

bool names_apic_id(const KernelHintName& hint, std::uint32_t apic_id) {
  return hint.unit_in_range && static_cast<std::uint32_t>(hint.unit) == apic_id;
}

std::vector<DecidingHint> deciding_disable_hints(const LoaderEnvironment& environment) {
  constexpr std::string_view kPrefix = "hint.lapic.";
  std::vector<DecidingHint> hints;
  for (auto it = environment.values.lower_bound(kPrefix);
       it != environment.values.end() && it->first.starts_with(kPrefix); ++it) {
    const std::optional<KernelHintName> hint = read_kernel_hint_name(it->first);
    if (!hint || !is_disable_hint(*hint) || !hint->unit_in_range) continue;
    const KernelNumber number = it->second.kernel_number();
    if (number == KernelNumber::Blank) continue;
    hints.push_back({static_cast<std::uint32_t>(hint->unit), it->first, number == KernelNumber::NonZero});
  }
  // The walk went in strcmp order, so of one id's spellings the first stays.
  std::stable_sort(hints.begin(), hints.end(),
                   [](const DecidingHint& a, const DecidingHint& b) { return a.apic_id < b.apic_id; });
  hints.erase(std::unique(hints.begin(), hints.end(),
                          [](const DecidingHint& a, const DecidingHint& b) { return a.apic_id == b.apic_id; }),
              hints.end());
  return hints;
}

const DecidingHint* find_deciding_hint(const std::vector<DecidingHint>& hints, std::uint32_t apic_id) {
  const auto found = std::lower_bound(
      hints.begin(), hints.end(), apic_id,
      [](const DecidingHint& hint, std::uint32_t id) { return hint.apic_id < id; });
  return found != hints.end() && found->apic_id == apic_id ? &*found : nullptr;
}

std::optional<bool> kernel_disables(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  const auto hint = deciding_disable_hint(environment, apic_id);
  if (hint == environment.values.end()) return std::nullopt;
  return hint->second.kernel_number() == KernelNumber::NonZero;
}

std::string_view kernel_hint(const LoaderEnvironment& environment, std::string_view driver,
                             std::string_view resource, std::uint32_t unit) {
  const auto hint = deciding_hint(environment, driver, resource, unit);
  return hint == environment.values.end() ? std::string_view{} : std::string_view{hint->first};
}

std::string_view kernel_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id) {
  const auto hint = deciding_disable_hint(environment, apic_id);
  return hint == environment.values.end() ? std::string_view{} : std::string_view{hint->first};
}
