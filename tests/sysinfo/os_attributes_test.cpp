// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/os_attributes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_platform.h"
#include "sysinfo/kenv_value.h"
#include "stdout_capture.h"

namespace {

class OsAttributesTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_fakes(); }
};

std::string upper(std::string text) {
  to_upper_ascii(text.data());
  return text;
}

TEST_F(OsAttributesTest, UpperCasesAsciiLettersOnly) {
  EXPECT_EQ(upper("amd64"), "AMD64");
  EXPECT_EQ(upper("i386"), "I386");
  EXPECT_EQ(upper("`az{@AZ[_-9"), "`AZ{@AZ[_-9");
  EXPECT_EQ(upper("x\xC3\xA9\xFFy"), "X\xC3\xA9\xFFY");
}

TEST_F(OsAttributesTest, WritesUnameFieldsInReportOrder) {
  FakePlatform& platform = fake_platform();
  platform.sysname = "FreeBSD";
  platform.nodename = "rt&01";
  platform.release = "14.1-RELEASE-p3";
  platform.machine = "amd64";
  EXPECT_EQ(capture_stdout(write_os_attributes),
            "\tOSIdentifier=\"FreeBSD\"\r\n"
            "\tOSVersion=\"14.1-RELEASE-p3\"\r\n"
            "\tHostname=\"rt&amp;01\"\r\n"
            "\tOSArchitecture=\"AMD64\"\r\n");
}

TEST_F(OsAttributesTest, WritesMemoryInKibibytesWhenKnown) {
  const std::string fixed = "\tMemoryBarInfo=\"Unknown\"\r\n\tNumMemoryBars=\"Unknown\"\r\n";
  fake_platform().physical_memory = 17179869184;
  EXPECT_EQ(capture_stdout(write_memory_attributes), "\tTotalMemory=\"16777216\"\r\n" + fixed);
  fake_platform().physical_memory = 1023;
  EXPECT_EQ(capture_stdout(write_memory_attributes), "\tTotalMemory=\"0\"\r\n" + fixed);
  fake_platform().physical_memory.reset();
  EXPECT_EQ(capture_stdout(write_memory_attributes), fixed);
}

TEST_F(OsAttributesTest, StoresValuesWithKenvsContract) {
  char buffer[8];
  const auto store = [&](const char* value, int limit) {
    std::memset(buffer, '#', sizeof buffer);
    return store_kenv_value(value, buffer, limit);
  };
  EXPECT_EQ(store("abc", 8), 4);
  EXPECT_EQ(std::string(buffer, 5), std::string("abc\0#", 5));
  EXPECT_EQ(store("abc", 4), 4);
  EXPECT_EQ(store("abc", 3), 3);
  EXPECT_EQ(std::string(buffer, 4), "abc#");  // cut: no NUL
  EXPECT_EQ(store("", 8), 1);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(store("abc", 0), 0);
  EXPECT_EQ(buffer[0], '#');
}

struct FirmwareCase {
  const char* what;
  const char* vendor;   // nullptr: not set
  const char* version;  // nullptr: not set
  std::string bios;
};

TEST_F(OsAttributesTest, JoinsBiosVendorAndVersion) {
  const std::string v124(124, 'v'), v125(125, 'v'), v126(126, 'v'), v200(200, 'v');
  const std::string w200(200, 'w');
  const FirmwareCase cases[] = {
      {"both", "ABC", "1.0", "ABC 1.0"},
      {"vendor alone", "ABC", nullptr, "ABC"},
      {"empty version", "ABC", "", "ABC"},
      {"version alone", nullptr, "1.0", "1.0"},
      {"empty vendor", "", "1.0", "1.0"},
      {"neither", nullptr, nullptr, "Unknown"},
      {"both empty", "", "", "Unknown"},
      {"vendor 124", v124.c_str(), "1.0", v124 + " 1."},
      {"vendor 125", v125.c_str(), "1.0", v125},
      {"vendor 126", v126.c_str(), "1.0", v126},
      {"vendor 200", v200.c_str(), "1.0", v200.substr(0, 127)},
      {"version 200", nullptr, w200.c_str(), w200.substr(0, 127)},
      {"vendor 3, version 200", "ABC", w200.c_str(), "ABC " + w200.substr(0, 123)},
  };
  for (const FirmwareCase& c : cases) {
    reset_fakes();
    auto& env = fake_platform().kernel_env;
    if (c.vendor != nullptr) env["smbios.bios.vendor"] = c.vendor;
    if (c.version != nullptr) env["smbios.bios.version"] = c.version;
    EXPECT_EQ(capture_stdout(write_firmware_attributes),
              "\tBIOSVersion=\"" + c.bios + "\"\r\n\tBoardInfo=\"Unknown\"\r\n")
        << c.what;
  }
}

TEST_F(OsAttributesTest, BoardInfoTakesAnEmptyProduct) {
  auto& env = fake_platform().kernel_env;
  const std::string long_bios(126, 'b');
  env["smbios.bios.vendor"] = long_bios;
  const auto board_line = [] {
    const std::string out = capture_stdout(write_firmware_attributes);
    return out.substr(out.find("\tBoardInfo"));
  };
  env["smbios.planar.product"] = "";
  EXPECT_EQ(board_line(), "\tBoardInfo=\"\"\r\n");
  env["smbios.planar.product"] = "X11";  // the BIOS text behind it never shows
  EXPECT_EQ(board_line(), "\tBoardInfo=\"X11\"\r\n");
  env["smbios.planar.product"] = std::string(300, 'p');
  EXPECT_EQ(board_line(), "\tBoardInfo=\"" + std::string(127, 'p') + "\"\r\n");
  env.erase("smbios.planar.product");
  EXPECT_EQ(board_line(), "\tBoardInfo=\"Unknown\"\r\n");
}

}  // namespace
