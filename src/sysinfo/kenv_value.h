// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string_view>

/// Stores `value` into `buffer` the way kenv(KENV_GET) does: at most `limit`
/// bytes, the terminating NUL included when it fits. Returns the number of
/// bytes stored (0 for a `limit` of 0 or less).
int store_kenv_value(std::string_view value, char* buffer, int limit);
