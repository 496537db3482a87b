// SPDX-License-Identifier: BSD-2-Clause
#include "cli/options.h"

#include "common/diagnostics.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Values the option parser returns for the long options; 1 to 6 are the
// command codes themselves, so the "one command" test below can see them.
constexpr int kSetOption = 1;
constexpr int kDeleteOption = 2;
constexpr int kShowOption = 3;
constexpr int kSysXmlOption = 4;
constexpr int kHelpOption = 5;
constexpr int kVerifyOption = 6;

constexpr char kShortOptions[] = "s:df:h";

constexpr option kLongOptions[] = {
    {"set", required_argument, nullptr, kSetOption},
    {"delete", no_argument, nullptr, kDeleteOption},
    {"show", no_argument, nullptr, kShowOption},
    {"sysxml", no_argument, nullptr, kSysXmlOption},
    {"help", no_argument, nullptr, kHelpOption},
    {"file", required_argument, nullptr, 'f'},
    {"strip", no_argument, nullptr, 'S'},
    {"flat", no_argument, nullptr, 'F'},
    {"stdout", no_argument, nullptr, 'O'},
    {"write-clock-hint", no_argument, nullptr, 'C'},
    {"verify", no_argument, nullptr, kVerifyOption},
    {"root", required_argument, nullptr, 'R'},
    {nullptr, 0, nullptr, 0},
};

struct UsageEntry {
  const char* synopsis;
  const char* description;
};

constexpr UsageEntry kUsage[] = {
    {"-s --set CPUs", "set number of shared cores"},
    {"-d --delete", "set all cores as shared core"},
    {"-f NAME, --file NAME", "set name of configuration file to change"},
    {"--show", "show active settings of shared/isolated cores"},
    {"--strip", "remove hints of unknown apics"},
    {"--flat", "add flat cpu topology setting"},
    {"--sysxml", "generate SystemInformation.xml and dump to output"},
    {"--write-clock-hint", "update clock settings for real-time"},
    {"--stdout", "dump config to stdout instead of file"},
    {"--verify", "check that the next boot applies the configuration file"},
    {"--root DIR", "read /boot and the configuration file under DIR for --verify"},
};

int to_command_value(int value) {
  switch (value) {
    case 's': return kSetOption;
    case 'd': return kDeleteOption;
    case 'h': return kHelpOption;
    default: return value;
  }
}

// Reads a count the way "%d" does (leading white space, a sign, digits; the
// rest ignored), but a number beyond the 32-bit range saturates instead of
// being undefined.
bool read_shared_count(const char* text, std::int32_t& count) {
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (end == text) {
    return false;
  }
  if (value > INT32_MAX) {
    count = INT32_MAX;
  } else if (value < INT32_MIN) {
    count = INT32_MIN;
  } else {
    count = static_cast<std::int32_t>(value);
  }
  return true;
}

bool store_hints_path(CoreOptions& options, const char* path) {
  const std::size_t length = std::strlen(path);
  if (length > kMaxHintsPathLength) {
    report("\"%s\" is too long for -f", path);
    return false;
  }
  std::memcpy(options.file.data(), path, length + 1);
  return true;
}

bool apply_option(CoreOptions& options, int value, const char* argument) {
  switch (value) {
    case 0:
      return true;
    case kSetOption:
      if (!read_shared_count(argument, options.shared_count)) {
        report("\"%s\" is invalid parameter for -s", argument);
        return false;
      }
      options.command = Command::Set;
      return true;
    case kDeleteOption:
    case kShowOption:
    case kSysXmlOption:
    case kHelpOption:
    case kVerifyOption:
      options.command = static_cast<Command>(value);
      return true;
    case 'f':
      return store_hints_path(options, argument);
    case 'R':
      options.root = argument;
      return true;
    case 'S':
      options.flags |= Strip;
      return true;
    case 'F':
      options.flags |= Flat;
      return true;
    case 'C':
      options.flags |= WriteClockHint;
      return true;
    case 'O':
      options.flags |= ToStdout;
      return true;
    default:
      // The parser has already described an unknown option or a missing argument.
      return false;
  }
}

}  // namespace

bool read_command_line(CoreOptions& options, int argc, char** argv) {
  options = CoreOptions{};
  std::memcpy(options.file.data(), kDefaultHintsPath, sizeof kDefaultHintsPath);

  if (argc <= 1) {
    options.command = Command::Show;
    return true;
  }

  int value = 0;
  while ((value = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    value = to_command_value(value);
    if (value > 0 && value < 10 && options.command != Command::None) {
      report("multiple commands have been set");
      return false;
    }
    if (!apply_option(options, value, optarg)) {
      return false;
    }
  }

  const bool updates = options.command == Command::Set || options.command == Command::Delete;
  if (options.flags != 0 && !updates) {
    report("update hints are ignored without -s or -d");
  }
  if (options.root != nullptr && options.command != Command::Verify) {
    report("--root is ignored without --verify");
  }
  return true;
}

// Flushed line by line; the error number of the first failed write is kept,
// since a later flush of the failed stream no longer knows it.
int print_usage() {
  int error = 0;
  const auto write_line = [&error](const char* indent, const char* text) {
    errno = 0;
    if (std::printf("%s%s\n", indent, text) < 0 || std::fflush(stdout) != 0) {
      if (error == 0) error = errno != 0 ? errno : EIO;
    }
  };
  write_line("", "VaDiveDida:");
  for (const UsageEntry& entry : kUsage) {
    write_line("  ", entry.synopsis);
    write_line("      ", entry.description);
  }
  return error;
}
