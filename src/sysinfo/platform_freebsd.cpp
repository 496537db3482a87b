// SPDX-License-Identifier: BSD-2-Clause
// FreeBSD's answers: sysctl for the memory size and the TSC frequency, the
// kernel environment (filled by the loader from SMBIOS) for the firmware.

#include <sys/types.h>
#include <sys/sysctl.h>
#include <sys/utsname.h>

#include <kenv.h>

#include <cstddef>

#include "sysinfo/platform.h"

namespace {

// Both sysctls are 64-bit values; the length word tells the kernel so.
int read_sysctl_u64(const char* name, std::uint64_t& value) {
  std::size_t length = sizeof value;
  return sysctlbyname(name, &value, &length, nullptr, 0);
}

}  // namespace

int read_physical_memory(std::uint64_t& bytes) {
  return read_sysctl_u64("hw.physmem", bytes);
}

int read_tsc_frequency(std::uint64_t& hz) {
  return read_sysctl_u64("machdep.tsc_freq", hz);
}

int read_kernel_env(const char* name, char* buffer, int limit) {
  return kenv(KENV_GET, name, buffer, limit);
}

void read_system_identity(utsname& record) {
  (void)uname(&record);
}
