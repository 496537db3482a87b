// SPDX-License-Identifier: BSD-2-Clause
#include "common/diagnostics.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

// printf's own kind of arguments, so that the compiler checks each format
// against its arguments (the format attribute in the header).
void report(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

int report_open_failure(const char* path) {
  const int error = errno != 0 ? errno : EIO;
  std::printf("error opening \"%s\"\n", path);
  return error;
}
