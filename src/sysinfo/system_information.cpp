// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/system_information.h"

#include <cstdio>

#include "sysinfo/cache_topology.h"
#include "sysinfo/cpu_identity.h"
#include "sysinfo/os_attributes.h"

// Write results are not looked at here: main checks standard output once,
// after the flush at the end of the run.
void write_system_information(const std::uint32_t* ids, std::uint32_t count) {
  std::printf("<SystemInformation\r\n");
  write_cpu_attributes();
  write_os_attributes();
  write_memory_attributes();
  write_firmware_attributes();
  write_cache_attributes(2, ids, count);
  write_cache_attributes(3, ids, count);
  std::printf("\tGraphicsDriverVersion=\"Unknown\"\r\n");
  std::printf("/>\r\n");
}
