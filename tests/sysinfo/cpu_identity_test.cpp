// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/cpu_identity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "fake_processor.h"
#include "stdout_capture.h"

namespace {

class CpuIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_fakes(); }
};

// Puts `text` (48 bytes at most) into the brand-string leaves, as the processor would.
void set_brand(const std::string& text) {
  char bytes[48] = {};
  std::memcpy(bytes, text.data(), text.size());
  for (std::uint32_t i = 0; i < 3; ++i) {
    CpuidRegisters regs{};
    std::memcpy(&regs, bytes + 16 * i, 16);
    set_cpuid(0x80000002 + i, 0, regs);
  }
}

TEST_F(CpuIdentityTest, RecognisesVendorsByAllThreeRegisters) {
  make_intel(1);
  EXPECT_TRUE(is_intel_cpu());
  EXPECT_FALSE(is_amd_cpu());

  make_amd(0x80000008, false);
  EXPECT_FALSE(is_intel_cpu());
  EXPECT_TRUE(is_amd_cpu());

  // Intel's words in AMD's register order, and one word off, are neither.
  set_cpuid(0, 0, {1, 0x756E6547, 0x49656E69, 0x6C65746E});
  EXPECT_FALSE(is_intel_cpu());
  set_cpuid(0, 0, {1, 0x68747541, 0x444D4163, 0x69746E66});
  EXPECT_FALSE(is_amd_cpu());
}

TEST_F(CpuIdentityTest, BrandStringNeedsLeaf80000004) {
  set_brand("  Some Processor @ 2.40GHz");
  BrandStringBuffer buffer{};

  set_cpuid(0x80000000, 0, {0x80000003, 0, 0, 0});
  EXPECT_EQ(read_brand_string(buffer), nullptr);

  set_cpuid(0x80000000, 0, {0x80000004, 0, 0, 0});
  const char* text = read_brand_string(buffer);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "  Some Processor @ 2.40GHz");  // leading spaces kept

  // A string of all 48 bytes has no NUL of its own.
  const std::string full(48, 'x');
  set_brand(full);
  std::memset(&buffer, 'y', sizeof buffer);
  text = read_brand_string(buffer);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), full);
}

TEST_F(CpuIdentityTest, WritesVendorBrandAndTscInMegahertz) {
  make_intel(0x16);
  set_cpuid(0x80000000, 0, {0x80000008, 0, 0, 0});
  set_brand("Brand & Co <1>");
  fake_platform().tsc_frequency = 2400000000;
  EXPECT_EQ(capture_stdout(write_cpu_attributes),
            "\tCpuBrandString=\"GenuineIntel\"\r\n"
            "\tCpuString=\"Brand &amp; Co &lt;1&gt;\"\r\n"
            "\tCpuStepping=\"2400\"\r\n"
            "\tCpuModel=\"Unknown\"\r\n");

  make_amd(0x80000008, false);
  fake_platform().tsc_frequency = 2399999999;
  EXPECT_EQ(capture_stdout(write_cpu_attributes),
            "\tCpuBrandString=\"AuthenticAMD\"\r\n"
            "\tCpuString=\"Brand &amp; Co &lt;1&gt;\"\r\n"
            "\tCpuStepping=\"2399\"\r\n"
            "\tCpuModel=\"Unknown\"\r\n");
}

TEST_F(CpuIdentityTest, LeavesOutWhatIsNotKnown) {
  // A third vendor still has its brand string and clock written.
  set_cpuid(0, 0, {0x16, 0x12345678, 0x9ABCDEF0, 0x0FEDCBA9});
  set_cpuid(0x80000000, 0, {0x80000004, 0, 0, 0});
  set_brand("Other");
  fake_platform().tsc_frequency = 999999;
  EXPECT_EQ(capture_stdout(write_cpu_attributes),
            "\tCpuString=\"Other\"\r\n"
            "\tCpuStepping=\"0\"\r\n"
            "\tCpuModel=\"Unknown\"\r\n");

  // No brand leaves and no frequency: only the fixed line.
  set_cpuid(0x80000000, 0, {0x80000001, 0, 0, 0});
  fake_platform().tsc_frequency.reset();
  EXPECT_EQ(capture_stdout(write_cpu_attributes), "\tCpuModel=\"Unknown\"\r\n");
}

}  // namespace
