// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The operating system's answers for unit tests: platform.h answered from a
// record the tests fill. An empty optional is a read that fails.

#include <sys/utsname.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

struct FakePlatform {
  std::optional<std::uint64_t> physical_memory;
  std::optional<std::uint64_t> tsc_frequency;
  std::map<std::string, std::string> kernel_env;  // variables not listed are not set
  std::string sysname, nodename, release, machine;
};

/// The answers the platform functions give; reset to "everything fails" by reset_fake_platform.
FakePlatform& fake_platform();
void reset_fake_platform();
