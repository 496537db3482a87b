// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

/// Repeats a system call that a signal interrupted (-1 with EINTR): the
/// update holds its signals, so an interruption says nothing about the file,
/// and giving up would end the run half way.
template <typename Call>
auto retry_interrupted(Call call) {
  for (;;) {
    const auto result = call();
    if (!(result == -1 && errno == EINTR)) return result;
  }
}

/// Writes all of `bytes`, going on after a short or interrupted write; false,
/// with errno, when a write fails.
inline bool write_whole(int fd, const void* bytes, std::size_t length) {
  const auto* at = static_cast<const char*>(bytes);
  while (length > 0) {
    const ssize_t written = retry_interrupted([&] { return ::write(fd, at, length); });
    if (written <= 0) return false;
    at += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}
