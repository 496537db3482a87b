// SPDX-License-Identifier: BSD-2-Clause
// The option parser fed any argument vector: the input split at NUL bytes,
// the first piece standing for the program name.

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.h"
#include "fuzz_input.h"

namespace {

constexpr std::size_t kMaxArguments = 256;

std::vector<std::string> split_arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  if (size == 0) return arguments;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (arguments.size() < kMaxArguments) {
    const std::size_t end = bytes.find('\0', start);
    arguments.emplace_back(bytes.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return arguments;
}

bool is_suffix_of_any(std::string_view path, const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (std::string_view(argument).ends_with(path)) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The parser's diagnostics would drown the fuzzer's own report; the C
  // library lets the stream be replaced, and the fuzzer keeps its own copy.
  stderr = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = split_arguments(data, size);
  const std::vector<std::string> originals = arguments;
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(arguments.size());

  CoreOptions options;
  options.flags = 0xFFFFFFFF;  // stale values must not survive the call
  optind = 0;                  // the C library's full reset of the parser
  const bool ok = read_command_line(options, argc, argv.data());

  const auto command = static_cast<std::int32_t>(options.command);
  FUZZ_CHECK(command >= 0 && command <= static_cast<std::int32_t>(Command::Verify));
  FUZZ_CHECK((options.flags & ~0xFu) == 0);
  FUZZ_CHECK(std::memchr(options.file.data(), '\0', options.file.size()) != nullptr);

  // Arguments that do not start with '-' are no options, so they set nothing.
  bool any_option = false;
  for (std::size_t i = 1; i < originals.size(); ++i) any_option |= originals[i].starts_with('-');
  const std::string_view file(options.file.data());
  if (argc <= 1) {
    FUZZ_CHECK(ok && options.command == Command::Show);
    FUZZ_CHECK(options.flags == 0 && file == kDefaultHintsPath && options.root == nullptr);
  } else if (!any_option) {
    FUZZ_CHECK(ok && options.command == Command::None);
    FUZZ_CHECK(options.flags == 0 && file == kDefaultHintsPath && options.root == nullptr);
  }
  if (!ok) return 0;

  if (options.command != Command::Set) FUZZ_CHECK(options.shared_count == 0);
  // A path only ever comes from an argument: "-fPATH", "--file=PATH" or one of its own.
  if (file != kDefaultHintsPath) FUZZ_CHECK(is_suffix_of_any(file, originals));
  if (options.root != nullptr) FUZZ_CHECK(is_suffix_of_any(options.root, originals));
  return 0;
}
