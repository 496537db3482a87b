// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

/// Writes one line `\tNAME="VALUE"\r\n`, with the five XML entities escaped in
/// `value` and every other byte passed through unchanged.
void write_text_attribute(const char* name, const char* value);

/// Writes one line `\tNAME="VALUE"\r\n` with `value` in decimal.
void write_number_attribute(const char* name, std::int64_t value);
