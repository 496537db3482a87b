// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstdint>

#include "cores/core_table.h"

/// The one command a run carries out.
enum class Command : std::int32_t {
  None = 0,    // no command option: dispatched like Show
  Set = 1,     // -s N, --set N
  Delete = 2,  // -d, --delete
  Show = 3,    // --show, or a run without arguments
  SysXml = 4,  // --sysxml
  Help = 5,    // -h, --help
  Verify = 6,  // --verify
};

/// Longest hints path the command line accepts (the field keeps one byte for its NUL).
inline constexpr std::size_t kMaxHintsPathLength = 259;

inline constexpr char kDefaultHintsPath[] = "/boot/device.hints.qvd";

/// The parsed command line.
struct CoreOptions {
  Command command = Command::None;
  std::uint32_t flags = 0;
  std::int32_t shared_count = 0;
  std::array<char, kMaxHintsPathLength + 1> file{};
  /// --root: the folder under which --verify reads /boot and the hints file;
  /// none for "/". Points into the arguments, which outlive the run.
  const char* root = nullptr;
};

/// Fills `options` from the arguments; false (after a message on standard
/// error, or the option parser's own) when the command line is rejected.
bool read_command_line(CoreOptions& options, int argc, char** argv);

/// Writes the usage text to standard output. 0, or the system error number
/// of the first write that failed.
int print_usage();
