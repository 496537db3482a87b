// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// What Linux itself says about this machine, for tests that compare the
// tool's answers with it.

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
