// Preloaded into the tool by one fault test: the backup can be written but not
// read back, so that a restore after a failed copy back fails too. Every other
// open goes through untouched.

#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool is_backup(const char* path) {
  constexpr char kSuffix[] = ".KxBak";
  const std::size_t length = std::strlen(path);
  return length >= sizeof kSuffix - 1 &&
         std::strcmp(path + length - (sizeof kSuffix - 1), kSuffix) == 0;
}

}  // namespace

extern "C" std::FILE* fopen(const char* path, const char* mode) {
  using Fopen = std::FILE* (*)(const char*, const char*);
  static const auto real_fopen = reinterpret_cast<Fopen>(dlsym(RTLD_NEXT, "fopen"));
  if (path != nullptr && mode != nullptr && mode[0] == 'r' && is_backup(path)) {
    errno = EACCES;
    return nullptr;
  }
  return real_fopen(path, mode);
}
