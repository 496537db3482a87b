// SPDX-License-Identifier: BSD-2-Clause
#include "hints/line_filter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "common/file_handles.h"
#include "hints/interrupted_calls.h"

namespace {

/// How much of the input one read takes.
constexpr std::size_t kReadBlockSize = std::size_t{64} * 1024;

enum class ReadResult { Piece, End, Failed };

/// Input read a block at a time (a whole block costs one call instead of one
/// per line); pieces are cut from it the way fgets would cut them.
struct BlockReader {
  std::FILE* stream = nullptr;
  std::span<char> block;
  std::size_t begin = 0;  // the next unread byte of the block
  std::size_t end = 0;    // the end of what the block holds
  bool drained = false;   // a short read: end of input, no further read

  /// Refills an empty block; false at the end of input. `error` is set after a read error.
  bool fill(int& error) {
    if (drained) return false;
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
};

/// The next piece: up to and including a line feed, or kMaxLineLength bytes,
/// whichever comes first. NUL bytes are ordinary data.
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
  line.text[length] = '\0';
  line.length = length;
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
  /// cost a system call per line of an unbuffered stream.
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
  bool write(const LineBuffer& line) { return write(line.text.data(), line.length); }

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

int reading_pass(BlockReader& reader, LineSink& sink, LineBuffer& line, LineFilterFn handler,
                 CoreTable* table) {
  if (reader.stream == nullptr) return 0;
  bool at_line_start = true;
  for (;;) {
    int error = 0;
    const ReadResult result = read_piece(reader, line, error);
    if (result == ReadResult::End) return 0;
    if (result == ReadResult::Failed) return error;
    line.continues_line = !at_line_start;
    at_line_start = line.text[line.length - 1] == '\n';
    if (handler != nullptr) {
      const int status = handler(line, *table, false);
      if (status != 0) return status;
    }
    if (sink.stream != nullptr && !sink.write(line)) return sink.failure();
  }
}

/// Without a handler nothing looks at the lines, so the copy moves whole
/// buffers: the same bytes for a fraction of the work (the backup and the
/// copy back of a big file).
int plain_copy(BlockReader& reader, LineSink& sink) {
  if (reader.stream == nullptr) return 0;
  int error = 0;
  while (reader.fill(error)) {
    if (sink.stream != nullptr && !sink.write(reader.block.data(), reader.end)) return sink.failure();
  }
  return error;
}

int final_pass(LineSink& sink, LineBuffer& line, LineFilterFn handler, CoreTable& table) {
  // A non-empty marker, so the handler is asked at least once.
  set_line(line, "\x01");
  bool first = true;
  for (;;) {
    const int status = handler(line, table, true);
    if (status != 0) return status;
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

}  // namespace

void clear_line(LineBuffer& line) {
  line.text[0] = '\0';
  line.length = 0;
}

void set_line(LineBuffer& line, const char* text) {
  const std::size_t length = strnlen(text, kMaxLineLength);
  std::memcpy(line.text.data(), text, length);
  line.text[length] = '\0';
  line.length = length;
}

namespace {

/// filter_lines; `unbuffered_output` says that a write interrupted by a
/// signal may go on where it stopped.
int run_filter(std::FILE* input, std::FILE* output, LineFilterFn handler, CoreTable* table,
               bool unbuffered_output) {
  if (handler != nullptr && table == nullptr) return EINVAL;
  // An unbuffered output gathers its lines in a block of its own.
  const std::size_t gather_size = unbuffered_output ? kReadBlockSize : 0;
  std::unique_ptr<char[]> storage;
  try {
    // One heap buffer per run: the line, the read block, then the gathering block.
    storage = std::make_unique_for_overwrite<char[]>(kLineBufferSize + kReadBlockSize + gather_size);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  clear_line(line);
  LineSink sink{output, false, unbuffered_output,
                std::span<char>(storage.get() + kLineBufferSize + kReadBlockSize, gather_size)};

  BlockReader reader{input, std::span<char>(storage.get() + kLineBufferSize, kReadBlockSize)};

  int status = handler != nullptr ? reading_pass(reader, sink, line, handler, table)
                                  : plain_copy(reader, sink);
  if (status == 0 && handler != nullptr && output != nullptr)
    status = final_pass(sink, line, handler, *table);
  // A zero status promises complete output, so data still buffered must get out.
  if (status == 0 && output != nullptr && (!sink.flush() || std::fflush(output) != 0))
    status = sink.failure();
  return status;
}

}  // namespace

int filter_lines(std::FILE* input, std::FILE* output, LineFilterFn handler, CoreTable* table) {
  return run_filter(input, output, handler, table, false);
}

int filter_file(const char* input_path, const char* output_path, LineFilterFn handler,
                CoreTable* table) {
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return report_open_failure(input_path);
  use_no_buffer(input.get());
  FilePtr output;
  if (output_path != nullptr) {
    output.reset(std::fopen(output_path, "w"));
    if (!output) return report_open_failure(output_path);
  }

  int status = filter_lines(input.get(), output.get(), handler, table);
  input.reset();
  if (output && status == 0) status = finish_output(std::move(output));
  return status;
}

int filter_file_to_stdout(const char* input_path, LineFilterFn handler, CoreTable* table) {
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return report_open_failure(input_path);
  use_no_buffer(input.get());
  return filter_lines(input.get(), stdout, handler, table);
}

int filter_into(std::FILE* input, FileDescriptor output, LineFilterFn handler, CoreTable* table) {
  FilePtr stream(::fdopen(output.get(), "w"));
  if (!stream) return errno != 0 ? errno : ENOMEM;
  output.release();
  use_no_buffer(input);
  // The filter writes whole blocks or whole lines; unbuffered, each write
  // goes straight to the file and an interrupted one can be resumed.
  std::setvbuf(stream.get(), nullptr, _IONBF, 0);
  const int status = run_filter(input, stream.get(), handler, table, true);
  return status != 0 ? status : finish_output(std::move(stream));
}

int report_open_failure(const char* path) {
  const int error = errno != 0 ? errno : EIO;
  std::printf("error opening \"%s\"\n", path);
  return error;
}
