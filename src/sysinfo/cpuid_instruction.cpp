// SPDX-License-Identifier: BSD-2-Clause
// The real processor behind read_cpuid; unit tests link a fake in its place.

#include <cpuid.h>

#include "sysinfo/cpu_identity.h"

void read_cpuid(CpuidRegisters& regs, std::uint32_t leaf, std::uint32_t subleaf) {
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
  __cpuid_count(leaf, subleaf, eax, ebx, ecx, edx);
  regs = CpuidRegisters{eax, ebx, ecx, edx};
}
