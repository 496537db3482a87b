// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/system_information.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fake_processor.h"
#include "stdout_capture.h"

namespace {

class SystemInformationTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_fakes(); }
};

TEST_F(SystemInformationTest, MinimalDocumentHasFourteenLines) {
  // Neither Intel nor AMD, every optional source failing.
  set_cpuid(0, 0, {0x16, 0x12345678, 0x9ABCDEF0, 0x0FEDCBA9});
  FakePlatform& platform = fake_platform();
  platform.sysname = "FreeBSD";
  platform.nodename = "rt-01";
  platform.release = "14.1-RELEASE";
  platform.machine = "amd64";
  const std::uint32_t ids[] = {0, 2};

  EXPECT_EQ(capture_stdout([&] { write_system_information(ids, 2); }),
            "<SystemInformation\r\n"
            "\tCpuModel=\"Unknown\"\r\n"
            "\tOSIdentifier=\"FreeBSD\"\r\n"
            "\tOSVersion=\"14.1-RELEASE\"\r\n"
            "\tHostname=\"rt-01\"\r\n"
            "\tOSArchitecture=\"AMD64\"\r\n"
            "\tMemoryBarInfo=\"Unknown\"\r\n"
            "\tNumMemoryBars=\"Unknown\"\r\n"
            "\tBIOSVersion=\"Unknown\"\r\n"
            "\tBoardInfo=\"Unknown\"\r\n"
            "\tL2CacheSize=\"0\"\r\n"
            "\tL3CacheSize=\"0\"\r\n"
            "\tGraphicsDriverVersion=\"Unknown\"\r\n"
            "/>\r\n");
}

TEST_F(SystemInformationTest, FullDocumentKeepsTheAttributeOrder) {
  make_intel(0x16);
  set_cpuid(0x80000000, 0, {0x80000008, 0, 0, 0});
  set_cpuid(0x80000002, 0, {0x65746E49, 0x2952286C, 0x6F655820, 0x2952286E});  // "Intel(R) Xeon(R)"
  set_cpuid(0x80000003, 0, {0x55504320, 0, 0, 0});                              // " CPU"
  set_cpuid(4, 0, cache_leaf(1, 1, 1, 7, 63, 0, 63));
  set_cpuid(4, 1, cache_leaf(3, 2, 1, 7, 63, 0, 1023));
  set_cpuid(4, 2, cache_leaf(3, 3, 15, 15, 63, 0, 16383));
  FakePlatform& platform = fake_platform();
  platform.tsc_frequency = 2400000000;
  platform.physical_memory = 17179869184;
  platform.sysname = "FreeBSD";
  platform.nodename = "rt-01";
  platform.release = "14.1-RELEASE";
  platform.machine = "amd64";
  platform.kernel_env = {{"smbios.bios.vendor", "ACME"},
                         {"smbios.bios.version", "1.0"},
                         {"smbios.planar.product", "Board<X>"}};
  const std::uint32_t ids[] = {0, 1, 2, 3, 4, 5, 6, 7};

  EXPECT_EQ(capture_stdout([&] { write_system_information(ids, 8); }),
            "<SystemInformation\r\n"
            "\tCpuBrandString=\"GenuineIntel\"\r\n"
            "\tCpuString=\"Intel(R) Xeon(R) CPU\"\r\n"
            "\tCpuStepping=\"2400\"\r\n"
            "\tCpuModel=\"Unknown\"\r\n"
            "\tOSIdentifier=\"FreeBSD\"\r\n"
            "\tOSVersion=\"14.1-RELEASE\"\r\n"
            "\tHostname=\"rt-01\"\r\n"
            "\tOSArchitecture=\"AMD64\"\r\n"
            "\tTotalMemory=\"16777216\"\r\n"
            "\tMemoryBarInfo=\"Unknown\"\r\n"
            "\tNumMemoryBars=\"Unknown\"\r\n"
            "\tBIOSVersion=\"ACME 1.0\"\r\n"
            "\tBoardInfo=\"Board&lt;X&gt;\"\r\n"
            "\tL2CacheSize=\"512\"\r\n"
            "\tL2CacheAssoc=\"8\"\r\n"
            "\tL2CacheAmount=\"4\"\r\n"
            "\tL3CacheSize=\"16384\"\r\n"
            "\tL3CacheAssoc=\"16\"\r\n"
            "\tL3CacheAmount=\"1\"\r\n"
            "\tGraphicsDriverVersion=\"Unknown\"\r\n"
            "/>\r\n");
}

}  // namespace
