// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

/// Writes the whole SystemInformation element to standard output. `ids` (may be
/// null) are the driver's APIC ids, `count` how many of them are valid.
void write_system_information(const std::uint32_t* ids, std::uint32_t count);
