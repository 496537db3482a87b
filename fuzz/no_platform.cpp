// SPDX-License-Identifier: BSD-2-Clause
// The operating system's answers for the fuzz targets that link the report
// writer: every read fails, so only the processor and the inputs vary.

#include <cstring>

#include "sysinfo/platform.h"

int read_physical_memory(std::uint64_t& /*bytes*/) { return -1; }

int read_tsc_frequency(std::uint64_t& /*hz*/) { return -1; }

int read_kernel_env(const char* /*name*/, char* /*buffer*/, int /*limit*/) { return -1; }

void read_system_identity(utsname& record) { std::memset(&record, 0, sizeof record); }
