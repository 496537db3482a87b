// SPDX-License-Identifier: BSD-2-Clause
#pragma once

/// Every line the tool writes to standard error goes through here: what the
/// run has written to standard output so far goes out first, so a run captured
/// into one stream (2>&1) reads in the order it happened. The bytes stay the
/// same, and a failed write to standard output stays in its error indicator
/// for the end of the run to report.

/// Writes one line to standard error: `format` and its arguments as printf
/// takes them, then a line feed, flushed.
void report(const char* format, ...)  // NOLINT(cert-dcl50-cpp): checked as printf's
    __attribute__((format(printf, 1, 2)));

/// Prints "error opening" with `path` on standard output (the line filter's
/// own message, on the stream its text goes to) and returns the error number
/// of the failed open (EIO when unknown).
int report_open_failure(const char* path);

#include <cstdio>
/// What report() does before its line, for the few writers that print a line of their own.
inline void flush_standard_output() { std::fflush(stdout); }
