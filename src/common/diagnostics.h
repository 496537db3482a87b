// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdio>

/// Called before each line written to standard error: what the run has written
/// to standard output so far goes out first, so a run captured into one stream
/// (2>&1) reads in the order it happened. The bytes stay the same, and a failed
/// write stays in the stream's error indicator for the end of the run to report.
inline void flush_standard_output() { std::fflush(stdout); }
