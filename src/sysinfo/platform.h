// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// The few questions the report asks the operating system. Each platform has
// its own file behind this header (platform_freebsd.cpp, platform_linux.cpp),
// chosen by the build; unit tests link a fake in their place.

#include <sys/utsname.h>

#include <cstdint>

/// Reads the physical memory size in bytes ("hw.physmem") into `bytes`.
/// Returns 0 when `bytes` holds it, non-zero otherwise.
int read_physical_memory(std::uint64_t& bytes);

/// Reads the time-stamp counter frequency in Hz ("machdep.tsc_freq") into `hz`.
/// Returns 0 when `hz` holds it, non-zero otherwise.
int read_tsc_frequency(std::uint64_t& hz);

/// Reads the firmware variable `name` (as kenv(KENV_GET) does): stores at most
/// `limit` bytes of its value, the terminating NUL included when it fits.
/// Returns the number of bytes stored, or a negative value when it is not set.
int read_kernel_env(const char* name, char* buffer, int limit);

/// Fills `record` as uname does; the result is not reported.
void read_system_identity(utsname& record);
