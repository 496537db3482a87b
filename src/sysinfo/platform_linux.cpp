// SPDX-License-Identifier: BSD-2-Clause
// Linux's nearest answers to the FreeBSD questions, with the same contracts.
// Used on the development machines; the product's home is FreeBSD.

#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string_view>

#include "common/file_handles.h"
#include "sysinfo/kenv_value.h"
#include "sysinfo/platform.h"

namespace {

// sysfs values are at most a page; one more byte keeps the text terminated.
using SysfsText = std::array<char, 4097>;

// The firmware variables and where Linux shows the same SMBIOS strings.
struct FirmwareSource {
  std::string_view variable;
  const char* path;
};

constexpr std::array<FirmwareSource, 3> kFirmwareSources{{
    {"smbios.bios.vendor", "/sys/class/dmi/id/bios_vendor"},
    {"smbios.bios.version", "/sys/class/dmi/id/bios_version"},
    {"smbios.planar.product", "/sys/class/dmi/id/board_name"},
}};

// Only kernels that know the TSC rate exactly publish it here, in kHz; kHz
// times 1000 still truncates to the right MHz.
constexpr char kTscFrequencyPath[] = "/sys/devices/system/cpu/cpu0/tsc_freq_khz";

// Reads a sysfs value without the line feed that sysfs puts after it.
bool read_sysfs_value(const char* path, SysfsText& text) {
  const FilePtr file(std::fopen(path, "r"));
  if (!file) {
    return false;
  }
  const std::size_t length = std::fread(text.data(), 1, text.size() - 1, file.get());
  if (std::ferror(file.get())) {
    return false;
  }
  text[length] = '\0';
  if (length > 0 && text[length - 1] == '\n') {
    text[length - 1] = '\0';
  }
  return true;
}

const char* firmware_path(const char* name) {
  for (const FirmwareSource& source : kFirmwareSources) {
    if (source.variable == name) {
      return source.path;
    }
  }
  return nullptr;
}

}  // namespace

int read_physical_memory(std::uint64_t& bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) {
    return -1;
  }
  bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  return 0;
}

int read_tsc_frequency(std::uint64_t& hz) {
  SysfsText text{};
  if (!read_sysfs_value(kTscFrequencyPath, text)) {
    return -1;
  }
  char* end = nullptr;
  errno = 0;
  const unsigned long long khz = std::strtoull(text.data(), &end, 10);
  if (errno != 0 || end == text.data() || *end != '\0' || khz == 0 ||
      khz > std::numeric_limits<std::uint64_t>::max() / 1000) {
    return -1;
  }
  hz = static_cast<std::uint64_t>(khz) * 1000;
  return 0;
}

int read_kernel_env(const char* name, char* buffer, int limit) {
  const char* path = firmware_path(name);
  SysfsText text{};
  if (path == nullptr || !read_sysfs_value(path, text)) {
    return -1;
  }
  return store_kenv_value(text.data(), buffer, limit);
}

void read_system_identity(utsname& record) {
  (void)uname(&record);
}
