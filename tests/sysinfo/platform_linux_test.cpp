// SPDX-License-Identifier: BSD-2-Clause
// The real Linux platform file and cpuid instruction, checked against what
// Linux itself shows and what the processor answers this test.

#include <cpuid.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "linux_facts.h"
#include "sysinfo/cpu_identity.h"
#include "sysinfo/platform.h"

namespace {

TEST(LinuxPlatform, PhysicalMemoryCoversWhatTheKernelManages) {
  std::uint64_t bytes = 0;
  ASSERT_EQ(read_physical_memory(bytes), 0);
  std::ifstream meminfo("/proc/meminfo");
  std::string label;
  std::uint64_t total_kib = 0;
  meminfo >> label >> total_kib;
  ASSERT_EQ(label, "MemTotal:");
  EXPECT_GE(bytes, total_kib * 1024);
  EXPECT_LT(bytes, total_kib * 1024 * 2);
}

TEST(LinuxPlatform, TscFrequencyOnlyWhereLinuxPublishesIt) {
  std::uint64_t hz = 0;
  std::string khz;
  if (read_first_line("/sys/devices/system/cpu/cpu0/tsc_freq_khz", khz)) {
    ASSERT_EQ(read_tsc_frequency(hz), 0);
    EXPECT_EQ(hz, std::stoull(khz) * 1000);
  } else {
    EXPECT_NE(read_tsc_frequency(hz), 0);
  }
}

TEST(LinuxPlatform, FirmwareValuesComeFromDmiWithKenvsContract) {
  const struct {
    const char* variable;
    const char* file;
  } sources[] = {{"smbios.bios.vendor", "/sys/class/dmi/id/bios_vendor"},
                 {"smbios.bios.version", "/sys/class/dmi/id/bios_version"},
                 {"smbios.planar.product", "/sys/class/dmi/id/board_name"}};
  for (const auto& source : sources) {
    char buffer[128];
    std::memset(buffer, '#', sizeof buffer);
    const int stored = read_kernel_env(source.variable, buffer, 127);
    std::string expected;
    if (!read_first_line(source.file, expected)) {
      EXPECT_LT(stored, 0) << source.variable;
      continue;
    }
    expected = expected.substr(0, 127);
    ASSERT_GT(stored, 0) << source.variable;
    EXPECT_EQ(std::string(buffer, std::strlen(buffer) < 127 ? std::strlen(buffer) : 127), expected);
    EXPECT_EQ(stored, static_cast<int>(std::min<std::size_t>(expected.size() + 1, 127)));
    EXPECT_EQ(buffer[127], '#') << "wrote past the limit";
  }
  char buffer[8] = {};
  EXPECT_LT(read_kernel_env("smbios.system.maker", buffer, 8), 0);
}

// The tool's cpuid against the same leaves read here through the compiler's
// <cpuid.h>. Linux's /proc/cpuinfo is a second witness only where the kernel
// runs on the bare processor: a hypervisor may show user programs another
// vendor text or brand string than the kernel was given.
bool cpuid_here(std::uint32_t leaf, CpuidRegisters& regs) {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(leaf, &eax, &ebx, &ecx, &edx) == 0) return false;
  regs = CpuidRegisters{eax, ebx, ecx, edx};
  return true;
}

bool kernel_sees_the_bare_processor() {
  return (" " + cpuinfo_field("flags") + " ").find(" hypervisor ") == std::string::npos;
}

TEST(RealProcessor, LeafZeroNamesTheVendor) {
  CpuidRegisters expected{};
  ASSERT_TRUE(cpuid_here(0, expected));
  CpuidRegisters regs{};
  read_cpuid(regs, 0, 0);
  EXPECT_EQ(std::memcmp(&regs, &expected, sizeof regs), 0);
  const std::string vendor = cpuid_vendor();
  EXPECT_EQ(is_intel_cpu(), vendor == "GenuineIntel");
  EXPECT_EQ(is_amd_cpu(), vendor == "AuthenticAMD");
  if (kernel_sees_the_bare_processor()) {
    EXPECT_EQ(vendor, cpuinfo_field("vendor_id"));
  }
}

TEST(RealProcessor, BrandStringIsTheExtendedLeavesText) {
  char expected[49] = {};
  bool has_leaves = true;
  for (std::uint32_t part = 0; part < 3; ++part) {
    CpuidRegisters regs{};
    has_leaves = has_leaves && cpuid_here(0x80000002 + part, regs);
    std::memcpy(expected + 16 * part, &regs, sizeof regs);
  }
  BrandStringBuffer buffer{};
  buffer.text.fill('#');
  const char* brand = read_brand_string(buffer);
  if (!has_leaves) {
    EXPECT_EQ(brand, nullptr);
    GTEST_SKIP() << "the processor has no brand-string leaves";
  }
  ASSERT_EQ(brand, buffer.text.data());
  EXPECT_EQ(std::memcmp(brand, expected, 48), 0);
  EXPECT_EQ(buffer.text[48], '\0');
  if (kernel_sees_the_bare_processor()) {
    // Linux trims the spaces around it; the report does not.
    std::string trimmed = brand;
    trimmed.erase(0, trimmed.find_first_not_of(' '));
    trimmed.erase(trimmed.find_last_not_of(' ') + 1);
    EXPECT_EQ(trimmed, cpuinfo_field("model name"));
  }
}

// The sub-leaf must reach ECX: sub-leaves 0 and 1 of the cache leaf describe
// the level-1 data and instruction caches.
TEST(RealProcessor, SubleafSelectsTheCacheDescribed) {
  CpuidRegisters regs{};
  std::uint32_t leaf = 4;
  if (is_amd_cpu()) {
    leaf = 0x8000001D;
  } else if (!is_intel_cpu()) {
    GTEST_SKIP() << "neither Intel nor AMD";
  }
  read_cpuid(regs, leaf, 0);
  const std::uint32_t first_type = regs.eax & 0x1F;
  read_cpuid(regs, leaf, 1);
  const std::uint32_t second_type = regs.eax & 0x1F;
  if (first_type == 0) GTEST_SKIP() << "the processor describes no caches";
  EXPECT_EQ(first_type, 1U);
  EXPECT_EQ(second_type, 2U);
}

}  // namespace
