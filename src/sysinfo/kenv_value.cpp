// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/kenv_value.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

// Shared by the Linux platform file and the unit tests' fake platform, so that
// both keep kenv's contract, the cut value without its NUL included.
int store_kenv_value(std::string_view value, char* buffer, int limit) {
  const std::size_t room = limit > 0 ? static_cast<std::size_t>(limit) : 0;
  const std::size_t stored = std::min(value.size() + 1, room);
  const std::size_t text = std::min(value.size(), stored);
  std::memcpy(buffer, value.data(), text);
  if (stored > text) {
    buffer[text] = '\0';
  }
  return static_cast<int>(stored);
}
