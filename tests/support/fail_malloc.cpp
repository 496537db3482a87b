// SPDX-License-Identifier: BSD-2-Clause
// Preloaded into the tool for the allocation fault sweep: the call numbered
// FAIL_MALLOC_AT (counting malloc, calloc and realloc from 1, from the moment
// this library starts) returns nothing, as an exhausted heap would. With
// FAIL_MALLOC_COUNT set to a path, the number of calls made is written there
// at exit, so a sweep knows how far to go.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" {
void* __libc_malloc(std::size_t size);                // NOLINT(bugprone-reserved-identifier)
void* __libc_calloc(std::size_t count, std::size_t size);  // NOLINT(bugprone-reserved-identifier)
void* __libc_realloc(void* old, std::size_t size);    // NOLINT(bugprone-reserved-identifier)
}

namespace {

unsigned long g_calls = 0;
unsigned long g_fail_at = 0;  // 0: never fail
bool g_counting = false;

bool next_call_fails() {
  if (!g_counting) return false;
  ++g_calls;
  if (g_calls == g_fail_at) {
    errno = ENOMEM;
    return true;
  }
  return false;
}

__attribute__((constructor)) void start_counting() {
  const char* at = std::getenv("FAIL_MALLOC_AT");
  g_fail_at = at != nullptr ? std::strtoul(at, nullptr, 10) : 0;
  g_counting = true;
}

__attribute__((destructor)) void write_count() {
  const char* path = std::getenv("FAIL_MALLOC_COUNT");
  if (path == nullptr) return;
  g_counting = false;
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%lu\n", g_calls);
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0) {
    if (write(fd, text, static_cast<std::size_t>(length)) < 0) {
      // Nothing to do: the sweep then sees no count and fails loudly.
    }
    close(fd);
  }
}

}  // namespace

extern "C" {

void* malloc(std::size_t size) { return next_call_fails() ? nullptr : __libc_malloc(size); }

void* calloc(std::size_t count, std::size_t size) {
  return next_call_fails() ? nullptr : __libc_calloc(count, size);
}

void* realloc(void* old, std::size_t size) {
  return next_call_fails() ? nullptr : __libc_realloc(old, size);
}

}  // extern "C"
