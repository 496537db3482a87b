// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

/// Where a setting was read: the file's place in the boot loader's reading
/// order and the line's number in it (1-based, every line feed counted).
struct SettingOrigin {
  std::size_t file = 0;
  std::size_t line = 0;
};

/// The state of a pass that reads the boot loader's configuration file by
/// file (--verify), beside the LoaderEnvironment the settings go into.
struct BootReading {
  std::size_t file = 0;         // the file being read, by its place in the reading order
  std::size_t line_number = 0;  // the line being read
  std::string long_line;        // a line read in several pieces, until it ends
  std::vector<std::size_t> rejected_lines;  // lines of this file that set nothing
  /// The file's own loader_conf_files: the loader keeps it out of the
  /// environment and reads the files it names right after this one.
  std::optional<std::string> loader_conf_files;
  /// Where each hint.lapic.<unit>.disabled name was set last.
  std::map<std::string, SettingOrigin, std::less<>> origins;
};
