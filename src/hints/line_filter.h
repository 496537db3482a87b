// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

#include "common/file_handles.h"
#include "cores/core_table.h"

/// One line of at most 2047 bytes and its NUL: the size of every piece the filter reads.
inline constexpr std::size_t kLineBufferSize = 2048;
inline constexpr std::size_t kMaxLineLength = kLineBufferSize - 1;

/// The filter's one line buffer. A piece read from the input travels with its
/// length, so NUL bytes and carriage returns inside it are copied exactly;
/// `text[length]` is always NUL. A handler that changes the text sets `length`
/// to match (see set_line and clear_line).
struct LineBuffer {
  std::span<char, kLineBufferSize> text;
  std::size_t length = 0;
  /// Set by the filter: this piece goes on with a line whose first piece was
  /// handed over already (a line longer than kMaxLineLength bytes, or the
  /// lone line feed after one of exactly that length). Only a piece that
  /// begins a line can be a hint.
  bool continues_line = false;
  /// Kept by a handler from a line's first piece for its continuation
  /// pieces: true when the first piece was rewritten or dropped, so that the
  /// rest of that line goes with it.
  bool drop_continuation = false;
};

/// A line handler: may leave the line, replace it or empty it (reading pass),
/// or write the next line to append into it (final pass, empty to end it).
/// 0 lets the filter go on; any other value stops it and is returned.
using LineFilterFn = int (*)(LineBuffer& line, CoreTable& table, bool final_pass);

/// Empties the line: nothing is written for it.
void clear_line(LineBuffer& line);

/// Replaces the line by `text` (cut at kMaxLineLength bytes).
void set_line(LineBuffer& line, const char* text);

/// Copies `input` to `output` line by line through `handler`, then lets the
/// handler append lines when both a handler and an output are given. Any of
/// the streams and the handler may be absent; a handler needs a table. Returns
/// 0 when the output is complete and flushed, 12 when the line buffer cannot
/// be had, the input's error number (EIO when unknown) after a read error, the
/// output's error indicator after a failed write, or the handler's status.
int filter_lines(std::FILE* input, std::FILE* output, LineFilterFn handler, CoreTable* table);

/// filter_lines from `input_path` into `output_path` (created or truncated;
/// none for a read-only pass). The output is flushed to the disk and closed
/// before it counts as written. A path that will not open is named by
/// "error opening" on standard output and its error number returned.
int filter_file(const char* input_path, const char* output_path, LineFilterFn handler,
                CoreTable* table);

/// filter_lines from `input_path` to standard output, which stays open.
int filter_file_to_stdout(const char* input_path, LineFilterFn handler, CoreTable* table);

/// filter_lines from `input` into the file open for writing as `output`,
/// which is flushed to the disk and closed before it counts as written.
int filter_into(std::FILE* input, FileDescriptor output, LineFilterFn handler, CoreTable* table);

/// Prints "error opening" with `path` on standard output and returns the
/// error number of the failed open (EIO when unknown).
int report_open_failure(const char* path);
