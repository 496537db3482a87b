// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// What Linux itself, and the processor to this test, say about this machine,
// for tests that compare the tool's answers with it.

#include <cpuid.h>

#include <cstring>
#include <fstream>
#include <string>

/// The first line of `path` without its line feed; false when it cannot be read.
inline bool read_first_line(const std::string& path, std::string& line) {
  std::ifstream file(path);
  return static_cast<bool>(std::getline(file, line));
}

/// The first line of `path`, or "" when it cannot be read.
inline std::string read_first_line(const std::string& path) {
  std::string line;
  read_first_line(path, line);
  return line;
}

/// The value after "key\t: " in /proc/cpuinfo (first processor), or "".
inline std::string cpuinfo_field(const std::string& key) {
  std::ifstream file("/proc/cpuinfo");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(key, 0) == 0 && line.find(':') != std::string::npos) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "";
}

/// The vendor text of cpuid leaf 0 as the processor shows it to this program
/// (a hypervisor may show the kernel's /proc/cpuinfo another one).
inline std::string cpuid_vendor() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) return "";
  char vendor[13] = {};
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  return vendor;
}
