// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the tool by one fault test: the backup can be written but not
// read back (by open or fopen), so that a restore after a failed copy back
// fails too. Every other open goes through untouched.

#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool is_backup(const char* path) {
  constexpr char kSuffix[] = ".KxBak";
  const std::size_t length = std::strlen(path);
  return length >= sizeof kSuffix - 1 &&
         std::strcmp(path + length - (sizeof kSuffix - 1), kSuffix) == 0;
}

/// The restore opens the backup with open(2) so as not to follow a link.
int refuse_or_open(const char* symbol, const char* path, int flags, va_list rest) {
  using Open = int (*)(const char*, int, ...);
  const auto real_open = reinterpret_cast<Open>(dlsym(RTLD_NEXT, symbol));
  if (path != nullptr && (flags & O_ACCMODE) == O_RDONLY && is_backup(path)) {
    errno = EACCES;
    return -1;
  }
  const int mode = (flags & O_CREAT) != 0 ? va_arg(rest, int) : 0;
  return real_open(path, flags, mode);
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = refuse_or_open("open", path, flags, rest);
  va_end(rest);
  return fd;
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  const int fd = refuse_or_open("open64", path, flags, rest);
  va_end(rest);
  return fd;
}

extern "C" std::FILE* fopen(const char* path, const char* mode) {
  using Fopen = std::FILE* (*)(const char*, const char*);
  static const auto real_fopen = reinterpret_cast<Fopen>(dlsym(RTLD_NEXT, "fopen"));
  if (path != nullptr && mode != nullptr && mode[0] == 'r' && is_backup(path)) {
    errno = EACCES;
    return nullptr;
  }
  return real_fopen(path, mode);
}
