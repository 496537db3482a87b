// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <functional>
#include <string>

/// Runs `body` with standard output (the stream and descriptor 1) sent to a
/// temporary file and returns the bytes it wrote.
std::string capture_stdout(const std::function<void()>& body);

/// Clears the fake processor and the fake platform before each test.
void reset_fakes();
