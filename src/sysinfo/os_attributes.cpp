// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/os_attributes.h"

#include <array>
#include <cstdint>

#include "sysinfo/attribute_writer.h"
#include "sysinfo/platform.h"

namespace {

// One buffer serves all three firmware reads. Reads stop at 127 bytes so the
// last byte stays zero and ends any text that was cut.
constexpr int kFirmwareBufferSize = 128;
constexpr int kFirmwareReadLimit = kFirmwareBufferSize - 1;

constexpr char kUnknown[] = "Unknown";

}  // namespace

void to_upper_ascii(char* text) {
  for (; *text != '\0'; ++text) {
    if (*text >= 'a' && *text <= 'z') {
      *text = static_cast<char>(*text - 0x20);
    }
  }
}

void write_os_attributes() {
  // Cleared first so every field is terminated even if uname fails.
  utsname record{};
  read_system_identity(record);
  write_text_attribute("OSIdentifier", record.sysname);
  write_text_attribute("OSVersion", record.release);
  write_text_attribute("Hostname", record.nodename);
  to_upper_ascii(record.machine);
  write_text_attribute("OSArchitecture", record.machine);
}

void write_memory_attributes() {
  std::uint64_t bytes = 0;
  if (read_physical_memory(bytes) == 0) {
    write_number_attribute("TotalMemory", static_cast<std::int64_t>(bytes >> 10));
  }
  write_text_attribute("MemoryBarInfo", kUnknown);
  write_text_attribute("NumMemoryBars", kUnknown);
}

// The version is read straight behind the vendor's NUL, which then becomes the
// space between them, so the buffer holds "vendor version" as one text.
void write_firmware_attributes() {
  std::array<char, kFirmwareBufferSize> buffer{};
  int vendor_len = read_kernel_env("smbios.bios.vendor", buffer.data(), kFirmwareReadLimit);
  if (vendor_len <= 1) {
    vendor_len = 0;
  }
  const int room = kFirmwareReadLimit - vendor_len;
  int version_len = 0;
  if (room > 0) {
    version_len = read_kernel_env("smbios.bios.version", buffer.data() + vendor_len, room);
    if (version_len > 1 && vendor_len > 0) {
      buffer[static_cast<std::size_t>(vendor_len - 1)] = ' ';
    }
  }
  const bool have_bios = version_len > 1 || vendor_len > 0;
  write_text_attribute("BIOSVersion", have_bios ? buffer.data() : kUnknown);

  // A set but empty product (length 1) still counts: BoardInfo is then empty.
  const int product_len = read_kernel_env("smbios.planar.product", buffer.data(), kFirmwareReadLimit);
  write_text_attribute("BoardInfo", product_len > 0 ? buffer.data() : kUnknown);
}
