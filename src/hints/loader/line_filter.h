// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

#include "common/file_handles.h"

/// One line of at most 2047 bytes and its NUL: the size of every piece the filter reads.
inline constexpr std::size_t kLineBufferSize = 2048;
inline constexpr std::size_t kMaxLineLength = kLineBufferSize - 1;

/// What the filter does with the pieces a handler held back (see LineBuffer::held).
enum class HeldPieces {
  None,     // nothing is held back
  Keep,     // hold this piece back too: the line is not decided yet
  Release,  // the line passes: the held pieces go out, then this one
  Drop,     // the line was replaced: the held pieces are forgotten
};

/// A piece of input as the filter hands it over: `length` bytes at `data`,
/// NUL bytes and carriage returns included, with no NUL promised after them.
/// `data` points into the filter's read block when the piece lies whole in
/// it (no copy for most lines), else at `text`. A handler that replaces the
/// piece writes it into `text` and points `data` there (see set_line,
/// clear_line and use_text).
struct LineBuffer {
  std::span<char, kLineBufferSize> text;
  const char* data = nullptr;
  std::size_t length = 0;
  /// Set by the filter: this piece goes on with a line whose first piece was
  /// handed over already (a line longer than kMaxLineLength bytes, or the
  /// lone line feed after one of exactly that length).
  bool continues_line = false;
  /// Set by the filter: this piece ends its line (a line feed, or the end of
  /// the input).
  bool ends_line = false;
  /// Set by a handler for each piece of a line it cannot judge before the
  /// line ends: Keep holds the piece back, whatever the buffer holds; the
  /// piece that decides says Release or Drop. The filter sets it to None
  /// before each piece.
  HeldPieces held = HeldPieces::None;
};

/// The handler a filter drives: one call per piece of input, then, when the
/// filter has an output, calls that append lines until one leaves the buffer
/// empty. A status other than 0 stops the filter, which returns it.
class LineHandler {
 public:
  /// May leave the piece, replace it or empty it (nothing is written for it).
  virtual int read_line(LineBuffer& line) = 0;
  /// Writes the next line to append into `line`, or leaves it empty to end.
  virtual int final_line(LineBuffer& line);

 protected:
  LineHandler() = default;
  ~LineHandler() = default;
  LineHandler(const LineHandler&) = default;
  LineHandler& operator=(const LineHandler&) = default;
};

/// The line is now the first `length` bytes of `line.text` (at most
/// kMaxLineLength), which a NUL then follows.
inline void use_text(LineBuffer& line, std::size_t length) {
  line.text[length] = '\0';
  line.data = line.text.data();
  line.length = length;
}

/// Empties the line: nothing is written for it.
inline void clear_line(LineBuffer& line) { use_text(line, 0); }

/// Replaces the line by `text` (cut at kMaxLineLength bytes).
void set_line(LineBuffer& line, const char* text);

/// Copies `input` to `output` line by line through `handler`, then lets the
/// handler append lines when both a handler and an output are given. Any of
/// the three may be absent. Pieces a handler holds back wait in memory, or,
/// past kHeldInMemory bytes, are read again from the input, which must then
/// be seekable (ESPIPE otherwise). Returns 0 when the output is complete and
/// flushed, 12 when the buffers cannot be had, the input's error number (EIO
/// when unknown) after a read error, the output's error indicator after a
/// failed write, or the handler's status.
int filter_lines(std::FILE* input, std::FILE* output, LineHandler* handler);

/// How much of a held-back line waits in memory.
inline constexpr std::size_t kHeldInMemory = std::size_t{64} * 1024;

/// filter_lines from `input_path` into `output_path` (created or truncated;
/// none for a read-only pass). The output is flushed to the disk and closed
/// before it counts as written. A path that will not open is named by
/// "error opening" on standard output and its error number returned.
int filter_file(const char* input_path, const char* output_path, LineHandler* handler);

/// filter_lines from `input_path` to standard output, which stays open.
int filter_file_to_stdout(const char* input_path, LineHandler* handler);

/// filter_lines from `input` into the file open for writing as `output`,
/// which is flushed to the disk and closed before it counts as written.
int filter_into(std::FILE* input, FileDescriptor output, LineHandler* handler);
