// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/loader_environment.h"

/// The boot loader's reading of a configuration or hints file, line by line,
/// and the kernel's reading of the hints it passes on. The edit pass, the
/// core mode report and --verify all read lines through here, so that what
/// the tool counts as a setting is what the next boot counts.

enum class LoaderLineKind {
  Ignored,    // empty, white space, or a comment
  Setting,    // sets the variable `name`
  Command,    // exec="...": a loader command; sets nothing
  Malformed,  // the loader skips it (a "Malformed line" or a value it refuses)
};

struct LoaderLine {
  LoaderLineKind kind = LoaderLineKind::Ignored;
  std::string_view name;
  std::string_view value;        // as written, without its quotes
  bool quoted = false;
  bool module_setting = false;   // a module's _load, _name, ... line: stored as written
  bool ends_in_comment = false;  // a comment follows the value (or is the whole line)
  bool value_at_end = false;     // a bare value runs to the very end of the text given
};

/// Reads one line (its line feed, if any, is white space to the loader).
LoaderLine read_loader_line(std::string_view text);

/// The value the loader stores for a setting: backslash escapes resolved and
/// $name or ${name} replaced from `environment` (empty when it has no such
/// name, or when no environment is given). Nullopt when the loader refuses
/// the value; throws std::bad_alloc when memory runs out.
std::optional<std::string> loader_value(const LoaderLine& line,
                                        const LoaderEnvironment* environment);

/// A hint's name as the kernel matches it: "hint.<driver>.<unit>.<resource>".
struct KernelHintName {
  std::string_view driver;
  std::string_view resource;
  bool unit_in_range = false;  // the unit fits a 32-bit int
  std::int32_t unit = 0;
};

std::optional<KernelHintName> read_kernel_hint_name(std::string_view name);

/// True for a name of the form hint.lapic.<unit>.disabled.
bool is_disable_hint(const KernelHintName& hint);

/// True when the hint names `apic_id` with a unit the kernel compares equal to it.
bool names_apic_id(const KernelHintName& hint, std::uint32_t apic_id);

/// The kernel's integer reading of a hint value: strtoul with base 0 must
/// take the whole value, and the number is kept in a 32-bit int.
enum class KernelNumber { Blank, NotANumber, Zero, NonZero };

KernelNumber read_kernel_number(std::string_view value);

/// Whether the kernel withholds the processor with `apic_id`: of the
/// hint.lapic.<unit>.disabled settings naming it whose value is not blank,
/// the first in strcmp order decides. Nullopt when none names it.
std::optional<bool> kernel_disables(const LoaderEnvironment& environment, std::uint32_t apic_id);

/// The name of the setting that kernel_disables goes by; empty when none names the core.
std::string_view kernel_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id);
