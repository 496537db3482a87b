// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/cpu_identity.h"

#include <cstring>

#include "sysinfo/attribute_writer.h"
#include "sysinfo/platform.h"

namespace {

// Leaf 0 spells the vendor in EBX, EDX, ECX.
constexpr CpuidRegisters kIntelVendor{0, 0x756E6547, 0x6C65746E, 0x49656E69};  // "GenuineIntel"
constexpr CpuidRegisters kAmdVendor{0, 0x68747541, 0x444D4163, 0x69746E65};    // "AuthenticAMD"

constexpr std::uint32_t kHighestExtendedLeaf = 0x80000000;
constexpr std::uint32_t kFirstBrandLeaf = 0x80000002;
constexpr std::uint32_t kLastBrandLeaf = 0x80000004;

CpuidRegisters vendor_registers() {
  CpuidRegisters regs{};
  read_cpuid(regs, 0, 0);
  return regs;
}

}  // namespace

bool is_intel_cpu() {
  const CpuidRegisters regs = vendor_registers();
  return regs.ebx == kIntelVendor.ebx && regs.edx == kIntelVendor.edx && regs.ecx == kIntelVendor.ecx;
}

bool is_amd_cpu() {
  const CpuidRegisters regs = vendor_registers();
  return regs.ecx == kAmdVendor.ecx && regs.edx == kAmdVendor.edx && regs.ebx == kAmdVendor.ebx;
}

const char* read_brand_string(BrandStringBuffer& buffer) {
  CpuidRegisters regs{};
  read_cpuid(regs, kHighestExtendedLeaf, 0);
  if (regs.eax < kLastBrandLeaf) {
    return nullptr;
  }
  // The registers' bytes in memory order are the text; a string that fills
  // all 48 bytes is ended by the extra byte.
  char* record = buffer.text.data();
  for (std::uint32_t leaf = kFirstBrandLeaf; leaf <= kLastBrandLeaf; ++leaf) {
    read_cpuid(regs, leaf, 0);
    std::memcpy(record, &regs, sizeof regs);
    record += sizeof regs;
  }
  buffer.text.back() = '\0';
  return buffer.text.data();
}

// The attribute names are the report's contract: CpuBrandString carries the
// vendor, CpuString the brand string, CpuStepping the TSC frequency in MHz.
void write_cpu_attributes() {
  if (is_intel_cpu()) {
    write_text_attribute("CpuBrandString", "GenuineIntel");
  } else if (is_amd_cpu()) {
    write_text_attribute("CpuBrandString", "AuthenticAMD");
  }
  BrandStringBuffer brand{};
  const char* brand_text = read_brand_string(brand);
  if (brand_text != nullptr) {
    write_text_attribute("CpuString", brand_text);
  }
  std::uint64_t hz = 0;
  if (read_tsc_frequency(hz) == 0) {
    write_number_attribute("CpuStepping", static_cast<std::int64_t>(hz / 1000000));
  }
  write_text_attribute("CpuModel", "Unknown");
}
