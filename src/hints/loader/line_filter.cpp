// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/line_filter.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "common/diagnostics.h"
#include "common/file_handles.h"
#include "common/interrupted_calls.h"

namespace {

/// How much of the input one read takes at most.
constexpr std::size_t kReadBlockSize = std::size_t{64} * 1024;

enum class ReadResult { Piece, End, Failed };

/// Input read a block at a time (a whole block costs one call instead of one
/// per line); pieces are cut from it the way fgets would cut them.
struct BlockReader {
  std::FILE* stream = nullptr;
  std::span<char> block;
  std::size_t begin = 0;          // the next unread byte of the block
  std::size_t end = 0;            // the end of what the block holds
  bool drained = false;           // a short read: end of input, no further read
  std::int64_t block_start = 0;   // where the block starts, counted from where reading began
  static constexpr std::int64_t kNotAsked = -2;
  /// The stream offset where reading began, asked of the stream only when a
  /// held line needs it (most runs never do); -1 when the stream cannot tell.
  std::int64_t stream_start = kNotAsked;

  /// Refills an empty block; false at the end of input. `error` is set after a read error.
  bool fill(int& error) {
    if (drained) return false;
    block_start += static_cast<std::int64_t>(end);
    begin = 0;
    end = 0;
    for (;;) {
      errno = 0;
      end += std::fread(block.data() + end, 1, block.size() - end, stream);
      if (std::ferror(stream) == 0) break;
      if (errno != EINTR) {
        // A lasting read error would otherwise look like "not at end yet" for ever.
        error = errno != 0 ? errno : EIO;
        return false;
      }
      // Interrupted: what was read is counted, and the read goes on.
      std::clearerr(stream);
      if (end == block.size()) break;
    }
    drained = end < block.size();
    return end > 0;
  }

  /// Whether input follows what was taken; false at its end.
  bool has_more(int& error) { return begin < end || fill(error); }

  /// The stream offset of `at` in the block; -1 when unknown.
  std::int64_t offset_of(std::size_t at) {
    if (stream_start == kNotAsked) {
      // The stream stands right after the block.
      const long position = std::ftell(stream);
      stream_start = position < 0 ? -1 : position - block_start - static_cast<std::int64_t>(end);
    }
    return stream_start < 0 ? -1 : stream_start + block_start + static_cast<std::int64_t>(at);
  }

  /// The stream offset of the next unread byte; -1 when unknown.
  std::int64_t offset() { return offset_of(begin); }
};

/// A line that lies whole in the block and ends within a piece's reach,
/// handed over where it lies: most lines, and no copy. False otherwise.
bool take_whole_line(BlockReader& reader, LineBuffer& line) {
  const char* start = reader.block.data() + reader.begin;
  const std::size_t room = std::min(kMaxLineLength, reader.end - reader.begin);
  const auto* feed = static_cast<const char*>(std::memchr(start, '\n', room));
  if (feed == nullptr) return false;
  line.data = start;
  line.length = static_cast<std::size_t>(feed - start) + 1;
  reader.begin += line.length;
  return true;
}

/// The next piece, gathered in `text`: up to and including a line feed, or
/// kMaxLineLength bytes, whichever comes first. NUL bytes are ordinary data.
ReadResult read_piece(BlockReader& reader, LineBuffer& line, int& error) {
  std::size_t length = 0;
  while (length < kMaxLineLength) {
    if (reader.begin == reader.end && !reader.fill(error)) {
      if (error != 0) return ReadResult::Failed;
      break;
    }
    const char* start = reader.block.data() + reader.begin;
    const std::size_t room = std::min(kMaxLineLength - length, reader.end - reader.begin);
    const auto* feed = static_cast<const char*>(std::memchr(start, '\n', room));
    const std::size_t take = feed != nullptr ? static_cast<std::size_t>(feed - start) + 1 : room;
    std::memcpy(line.text.data() + length, start, take);
    length += take;
    reader.begin += take;
    if (feed != nullptr) break;
  }
  use_text(line, length);
  return length > 0 ? ReadResult::Piece : ReadResult::End;
}

/// The output stream and whether its last written byte left a line open.
struct LineSink {
  std::FILE* stream = nullptr;
  bool line_open = false;
  /// The stream is unbuffered, so a short write says exactly what got out
  /// and an interrupted one can go on (a buffered stream may drop the rest).
  bool resumes_interrupted = false;
  /// Lines gather here and go out a block at a time: one call per line would
  /// cost a system call per line of an unbuffered stream, and a library call
  /// per line of a buffered one.
  std::span<char> pending;
  std::size_t pending_length = 0;

  bool write(const char* bytes, std::size_t length) {
    if (length == 0) return true;
    if (pending_length + length > pending.size() && !flush()) return false;
    if (length >= pending.size()) {
      if (!put(bytes, length)) return false;
    } else {
      std::memcpy(pending.data() + pending_length, bytes, length);
      pending_length += length;
    }
    line_open = bytes[length - 1] != '\n';
    return true;
  }
  bool write(const LineBuffer& line) { return write(line.data, line.length); }

  bool flush() {
    const std::size_t length = std::exchange(pending_length, 0);
    return length == 0 || put(pending.data(), length);
  }

  bool put(const char* bytes, std::size_t length) {
    std::size_t done = 0;
    for (;;) {
      errno = 0;
      done += std::fwrite(bytes + done, 1, length - done, stream);
      if (done == length) return true;
      if (!resumes_interrupted || errno != EINTR) return false;
      std::clearerr(stream);
    }
  }

  /// The status of a failed write: the stream's error indicator.
  int failure() const {
    const int indicator = std::ferror(stream);
    return indicator != 0 ? indicator : EIO;
  }
};

/// The pieces of a line a handler holds back until it decides: kept in
/// memory while they fit, otherwise read again from the input when they pass.
struct HeldLine {
  std::unique_ptr<char[]> memory;  // kHeldInMemory bytes, had when first needed
  std::size_t length = 0;          // bytes held back
  std::int64_t start = -1;         // the input offset of the first of them
  bool active = false;
  bool spilled = false;  // more than memory holds: to be read again

  /// Holds `line`, which began at input offset `offset`. 0, or the failure.
  int keep(const LineBuffer& line, std::int64_t offset) {
    if (!active) {
      active = true;
      spilled = false;
      length = 0;
      start = offset;
    }
    if (!spilled && length + line.length <= kHeldInMemory) {
      if (!memory) {
        memory.reset(new (std::nothrow) char[kHeldInMemory]);
        if (!memory) return ENOMEM;
      }
      std::memcpy(memory.get() + length, line.data, line.length);
    } else if (start < 0) {
      return ESPIPE;  // an input that cannot be read again
    } else {
      spilled = true;
    }
    length += line.length;
    return 0;
  }

  /// Writes what is held to `sink`, reading it again from `reader`'s stream
  /// when it did not fit; the stream then goes on where it was. 0, or the failure.
  int release(BlockReader& reader, LineSink& sink) {
    active = false;
    if (!spilled) return sink.write(memory.get(), length) ? 0 : sink.failure();
    const std::int64_t resume = reader.offset_of(reader.end);
    if (std::fseek(reader.stream, static_cast<long>(start), SEEK_SET) != 0) return errno;
    for (std::size_t left = length; left > 0;) {
      const std::size_t got = std::fread(memory.get(), 1, std::min(left, kHeldInMemory), reader.stream);
      if (got == 0) return std::ferror(reader.stream) != 0 && errno != 0 ? errno : EIO;
      if (!sink.write(memory.get(), got)) return sink.failure();
      left -= got;
    }
    return std::fseek(reader.stream, static_cast<long>(resume), SEEK_SET) != 0 ? errno : 0;
  }
};

/// Marks whether the piece just read ends its line: a line feed, a short
/// piece (only the end of input stops one early), or nothing after it.
bool piece_ends_line(BlockReader& reader, const LineBuffer& line, int& error) {
  if (line.data[line.length - 1] == '\n' || line.length < kMaxLineLength) return true;
  return !reader.has_more(error);
}

/// What the filter does after the handler has seen a piece. 0, or the failure.
int pass_on(BlockReader& reader, LineSink& sink, HeldLine& held, const LineBuffer& line) {
  if (line.held == HeldPieces::Keep) {
    const std::int64_t next = reader.offset();
    return held.keep(line, next < 0 ? -1 : next - static_cast<std::int64_t>(line.length));
  }
  if (held.active) {
    // Dropped, or with nowhere to go, the held pieces are forgotten.
    if (line.held == HeldPieces::Drop || sink.stream == nullptr) {
      held.active = false;
    } else if (const int status = held.release(reader, sink); status != 0) {
      return status;
    }
  }
  // Most lines of a big file are dropped repeats: nothing to write.
  if (line.length != 0 && sink.stream != nullptr && !sink.write(line)) return sink.failure();
  return 0;
}

int reading_pass(BlockReader& reader, LineSink& sink, LineBuffer& line, LineHandler& handler) {
  if (reader.stream == nullptr) return 0;
  HeldLine held;
  bool at_line_start = true;
  for (;;) {
    if (at_line_start && take_whole_line(reader, line)) {
      line.continues_line = false;
      line.ends_line = true;
    } else {
      int error = 0;
      const ReadResult result = read_piece(reader, line, error);
      if (result == ReadResult::End) break;
      if (result == ReadResult::Failed) return error;
      line.continues_line = !at_line_start;
      line.ends_line = piece_ends_line(reader, line, error);
      if (error != 0) return error;
      at_line_start = line.ends_line;
    }
    line.held = HeldPieces::None;
    if (const int status = handler.read_line(line); status != 0) return status;
    if (const int status = pass_on(reader, sink, held, line); status != 0) return status;
  }
  // A handler that never decided lets the line pass as it was.
  if (held.active && sink.stream != nullptr) return held.release(reader, sink);
  return 0;
}

/// Without a handler nothing looks at the lines, so the copy moves whole
/// buffers: the same bytes for a fraction of the work.
int plain_copy(BlockReader& reader, LineSink& sink) {
  if (reader.stream == nullptr) return 0;
  int error = 0;
  while (reader.fill(error)) {
    if (sink.stream != nullptr && !sink.write(reader.block.data(), reader.end)) return sink.failure();
  }
  return error;
}

int final_pass(LineSink& sink, LineBuffer& line, LineHandler& handler) {
  // A non-empty marker, so the handler is asked at least once.
  set_line(line, "\x01");
  bool first = true;
  for (;;) {
    if (const int status = handler.final_line(line); status != 0) return status;
    if (line.length == 0) return 0;
    // The boot loader would glue an appended line onto an unended last line
    // and lose both settings.
    if (first && sink.line_open && !sink.write("\n", 1)) return sink.failure();
    first = false;
    if (!sink.write(line)) return sink.failure();
  }
}

/// The filter reads its input a block at a time itself; a stream buffer
/// under it would only copy every byte once more.
void use_no_buffer(std::FILE* input) { std::setvbuf(input, nullptr, _IONBF, 0); }

/// The output counts as written only once it is on the disk and closed.
int finish_output(FilePtr output) {
  int status = 0;
  // Pipes and character devices cannot be synced; their data is already out.
  const int fd = fileno(output.get());
  if (retry_interrupted([fd] { return ::fsync(fd); }) != 0 && errno != EINVAL && errno != ENOTSUP)
    status = errno;
  if (std::fclose(output.release()) != 0 && status == 0) status = errno != 0 ? errno : EIO;
  return status;
}

/// The read block for `input`: a regular file smaller than the full block
/// gets a block its size (and room to see the end of input), in whole pages,
/// so that reading a small file does not grow the heap for room it never uses.
std::size_t read_block_size(std::FILE* input) {
  constexpr std::size_t kPage = 4096;
  struct stat status {};
  if (input == nullptr || ::fstat(fileno(input), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::uint64_t>(status.st_size) >= kReadBlockSize)
    return kReadBlockSize;
  return (static_cast<std::size_t>(status.st_size) / kPage + 1) * kPage;
}

/// filter_lines; `unbuffered_output` says that a write interrupted by a
/// signal may go on where it stopped.
int run_filter(std::FILE* input, std::FILE* output, LineHandler* handler, bool unbuffered_output) {
  const std::size_t block_size = read_block_size(input);
  // Lines gather in a block of their own: one call per block rather than
  // one per line, buffered stream or not.
  const std::size_t gather_size = output != nullptr ? kReadBlockSize : 0;
  std::unique_ptr<char[]> storage(new (std::nothrow) char[kLineBufferSize + block_size + gather_size]);
  // One heap buffer per run: the line, the read block, then the gathering block.
  if (!storage) return ENOMEM;
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  clear_line(line);
  LineSink sink{output, false, unbuffered_output,
                std::span<char>(storage.get() + kLineBufferSize + block_size, gather_size)};

  BlockReader reader{input, std::span<char>(storage.get() + kLineBufferSize, block_size)};

  int status = handler != nullptr ? reading_pass(reader, sink, line, *handler)
                                  : plain_copy(reader, sink);
  if (status == 0 && handler != nullptr && output != nullptr) status = final_pass(sink, line, *handler);
  if (output == nullptr) return status;
  // What was gathered goes to the stream whatever the status, as it would
  // have line by line; a zero status promises complete output, flushed.
  if (!sink.flush() && status == 0) status = sink.failure();
  if (status == 0 && std::fflush(output) != 0) status = sink.failure();
  return status;
}

}  // namespace

int LineHandler::final_line(LineBuffer& line) {
  clear_line(line);
  return 0;
}

void set_line(LineBuffer& line, const char* text) {
  const std::size_t length = strnlen(text, kMaxLineLength);
  std::memcpy(line.text.data(), text, length);
  use_text(line, length);
}

int filter_lines(std::FILE* input, std::FILE* output, LineHandler* handler) {
  return run_filter(input, output, handler, false);
}

int filter_file(const char* input_path, const char* output_path, LineHandler* handler) {
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return report_open_failure(input_path);
  use_no_buffer(input.get());
  FilePtr output;
  if (output_path != nullptr) {
    output.reset(std::fopen(output_path, "w"));
    if (!output) return report_open_failure(output_path);
  }

  int status = filter_lines(input.get(), output.get(), handler);
  input.reset();
  if (output && status == 0) status = finish_output(std::move(output));
  return status;
}

int filter_file_to_stdout(const char* input_path, LineHandler* handler) {
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return report_open_failure(input_path);
  use_no_buffer(input.get());
  return filter_lines(input.get(), stdout, handler);
}

int filter_into(std::FILE* input, FileDescriptor output, LineHandler* handler) {
  FilePtr stream(::fdopen(output.get(), "w"));
  if (!stream) return errno != 0 ? errno : ENOMEM;
  output.release();
  if (input != nullptr) use_no_buffer(input);
  // The filter writes whole blocks or whole lines; unbuffered, each write
  // goes straight to the file and an interrupted one can be resumed.
  std::setvbuf(stream.get(), nullptr, _IONBF, 0);
  const int status = run_filter(input, stream.get(), handler, true);
  return status != 0 ? status : finish_output(std::move(stream));
}
