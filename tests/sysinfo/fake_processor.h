// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// A processor for unit tests: read_cpuid answers from a table the tests fill;
// leaves not in the table read as zeros.

#include <cstdint>

#include "sysinfo/cpu_identity.h"

/// Forgets every leaf.
void reset_fake_processor();

/// Makes `read_cpuid(leaf, subleaf)` return `regs`.
void set_cpuid(std::uint32_t leaf, std::uint32_t subleaf, const CpuidRegisters& regs);

/// Leaf 0 of an Intel processor whose highest basic leaf is `highest_basic`.
void make_intel(std::uint32_t highest_basic);

/// Leaf 0 of an AMD processor and leaves 0x80000000/0x80000001 with the given
/// highest extended leaf and topology-extensions bit.
void make_amd(std::uint32_t highest_extended, bool topology_extensions);

/// A deterministic-cache-parameters sub-leaf built from its raw fields (each
/// "minus 1" field as the processor stores it).
CpuidRegisters cache_leaf(std::uint32_t type, std::uint32_t level, std::uint32_t sharing,
                          std::uint32_t ways, std::uint32_t line, std::uint32_t partitions,
                          std::uint32_t sets);
