// SPDX-License-Identifier: BSD-2-Clause
#include "fake_platform.h"

#include <cstdio>

#include "sysinfo/kenv_value.h"
#include "sysinfo/platform.h"

namespace {

int answer(const std::optional<std::uint64_t>& source, std::uint64_t& value) {
  if (!source) {
    return -1;
  }
  value = *source;
  return 0;
}

void copy_field(char* field, std::size_t size, const std::string& text) {
  std::snprintf(field, size, "%s", text.c_str());
}

}  // namespace

FakePlatform& fake_platform() {
  static FakePlatform platform;
  return platform;
}

void reset_fake_platform() { fake_platform() = FakePlatform{}; }

int read_physical_memory(std::uint64_t& bytes) { return answer(fake_platform().physical_memory, bytes); }

int read_tsc_frequency(std::uint64_t& hz) { return answer(fake_platform().tsc_frequency, hz); }

int read_kernel_env(const char* name, char* buffer, int limit) {
  const auto found = fake_platform().kernel_env.find(name);
  if (found == fake_platform().kernel_env.end()) {
    return -1;
  }
  return store_kenv_value(found->second, buffer, limit);
}

void read_system_identity(utsname& record) {
  const FakePlatform& platform = fake_platform();
  copy_field(record.sysname, sizeof record.sysname, platform.sysname);
  copy_field(record.nodename, sizeof record.nodename, platform.nodename);
  copy_field(record.release, sizeof record.release, platform.release);
  copy_field(record.machine, sizeof record.machine, platform.machine);
  // The build description is never written; fill it so a mix-up would show.
  copy_field(record.version, sizeof record.version, "kernel build description");
}
