// SPDX-License-Identifier: BSD-2-Clause
// The real Linux platform file and cpuid instruction, checked against what
// Linux itself shows.

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

TEST(RealProcessor, LeafZeroNamesTheVendorLinuxSees) {
  CpuidRegisters regs{};
  read_cpuid(regs, 0, 0);
  char vendor[13] = {};
  std::memcpy(vendor, &regs.ebx, 4);
  std::memcpy(vendor + 4, &regs.edx, 4);
  std::memcpy(vendor + 8, &regs.ecx, 4);
  EXPECT_EQ(std::string(vendor), cpuinfo_field("vendor_id"));
  EXPECT_EQ(is_intel_cpu(), cpuinfo_field("vendor_id") == "GenuineIntel");
  EXPECT_EQ(is_amd_cpu(), cpuinfo_field("vendor_id") == "AuthenticAMD");
}

TEST(RealProcessor, BrandStringIsLinuxsModelName) {
  BrandStringBuffer buffer{};
  const char* brand = read_brand_string(buffer);
  if (brand == nullptr) GTEST_SKIP() << "no brand-string leaves";
  // Linux trims the spaces around it; the report does not.
  std::string trimmed = brand;
  trimmed.erase(0, trimmed.find_first_not_of(' '));
  trimmed.erase(trimmed.find_last_not_of(' ') + 1);
  EXPECT_EQ(trimmed, cpuinfo_field("model name"));
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
