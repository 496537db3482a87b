// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The worked example of the rewriting rules, shared by the unit and the
// end-to-end tests: cores with APIC ids 0, 2, 4, 6; two stay shared after the
// next boot.

#include <string>

namespace worked_example {

inline const std::string kInput =
    "# comment\n"
    "hint.lapic.2.disabled=\"1\"\n"
    "hint.lapic.9.disabled=\"0\"\n"
    "hint.apic.0.clock=\"1\"\n"
    "kern.smp.topology=\"1\"\n"
    "hint.lapic.2.disabled=\"0\"\n"
    "hint.acpi.0.disabled=\"1\"\n";

/// With Strip, Flat and WriteClockHint.
inline const std::string kWithEveryModifier =
    "# comment\n"
    "hint.lapic.2.disabled=\"0\"\n"
    "hint.apic.0.clock=\"0\"\n"
    "kern.smp.topology=\"2\"\n"
    "hint.acpi.0.disabled=\"1\"\n"
    "hint.apic.2.clock=\"0\"\n"
    "hint.apic.4.clock=\"0\"\n"
    "hint.apic.6.clock=\"0\"\n"
    "hint.lapic.0.disabled=\"0\"\n"
    "hint.lapic.4.disabled=\"1\"\n"
    "hint.lapic.6.disabled=\"1\"\n";

inline const std::string kWithoutModifiers =
    "# comment\n"
    "hint.lapic.2.disabled=\"0\"\n"
    "hint.lapic.9.disabled=\"0\"\n"
    "hint.apic.0.clock=\"1\"\n"
    "kern.smp.topology=\"1\"\n"
    "hint.acpi.0.disabled=\"1\"\n"
    "hint.lapic.0.disabled=\"0\"\n"
    "hint.lapic.4.disabled=\"1\"\n"
    "hint.lapic.6.disabled=\"1\"\n";

}  // namespace worked_example
