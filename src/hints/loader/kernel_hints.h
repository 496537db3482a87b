// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "hints/loader/loader_environment.h"

/// The kernel's reading of the hints the loader passes on.

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

/// True for a name of the form hint.apic.<unit>.clock.
bool is_clock_hint(const KernelHintName& hint);

/// True when the hint names `apic_id` with a unit the kernel compares equal to it.
bool names_apic_id(const KernelHintName& hint, std::uint32_t apic_id);

/// The disable hint the kernel goes by for one APIC id.
struct DecidingHint {
  std::uint32_t apic_id = 0;
  std::string_view name;
  bool disables = false;
};

/// Every APIC id's deciding disable hint (see kernel_disables), gathered in
/// one walk of the environment and sorted by APIC id. Throws std::bad_alloc.
std::vector<DecidingHint> deciding_disable_hints(const LoaderEnvironment& environment);

/// The hint for `apic_id` among `hints` (sorted by APIC id), or none.
const DecidingHint* find_deciding_hint(const std::vector<DecidingHint>& hints, std::uint32_t apic_id);

/// Whether the kernel withholds the processor with `apic_id`: of the
/// hint.lapic.<unit>.disabled settings naming it whose value is not blank,
/// the first in strcmp order decides. Nullopt when none names it.
std::optional<bool> kernel_disables(const LoaderEnvironment& environment, std::uint32_t apic_id);

/// Of the hint.<driver>.<unit>.<resource> settings naming `unit` whose value
/// is not blank, the name of the one the kernel reads: the first in strcmp
/// order. Empty when none names it.
std::string_view kernel_hint(const LoaderEnvironment& environment, std::string_view driver,
                             std::string_view resource, std::uint32_t unit);

/// The name of the setting that kernel_disables goes by; empty when none names the core.
std::string_view kernel_disable_hint(const LoaderEnvironment& environment, std::uint32_t apic_id);
