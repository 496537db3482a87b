// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstdint>

/// The four results of one cpuid execution, in this order.
struct CpuidRegisters {
  std::uint32_t eax;
  std::uint32_t ebx;
  std::uint32_t ecx;
  std::uint32_t edx;
};

static_assert(sizeof(CpuidRegisters) == 16);

/// The 48 bytes of leaves 0x80000002 to 0x80000004 and one terminating byte.
struct BrandStringBuffer {
  std::array<char, 3 * sizeof(CpuidRegisters) + 1> text;
};

/// Executes cpuid with `leaf` in EAX and `subleaf` in ECX; stores EAX, EBX, ECX, EDX.
/// The one place that touches the processor (cpuid_instruction.cpp).
void read_cpuid(CpuidRegisters& regs, std::uint32_t leaf, std::uint32_t subleaf);

/// True when leaf 0 names the vendor "GenuineIntel".
bool is_intel_cpu();

/// True when leaf 0 names the vendor "AuthenticAMD".
bool is_amd_cpu();

/// Reads the processor brand string into `buffer`. Returns its text (at most
/// 48 bytes, untrimmed), or nullptr when the processor has no brand-string leaves.
const char* read_brand_string(BrandStringBuffer& buffer);

/// Writes CpuBrandString, CpuString and CpuStepping (each when known) and CpuModel.
void write_cpu_attributes();
