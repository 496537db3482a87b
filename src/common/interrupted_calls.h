// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cerrno>

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
