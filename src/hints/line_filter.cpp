#include "hints/line_filter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "hints/file_handles.h"

namespace {

enum class ReadResult { Piece, End, Failed };

/// fgets with the length kept: reads up to and including a line feed, or
/// kMaxLineLength bytes, whichever comes first. NUL bytes are ordinary data.
ReadResult read_piece(std::FILE* input, LineBuffer& line, int& error) {
  std::size_t length = 0;
  errno = 0;
  while (length < kMaxLineLength) {
    // Single-threaded: the per-byte lock of getc buys nothing here.
    const int c = getc_unlocked(input);
    if (c == EOF) break;
    line.text[length++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  line.text[length] = '\0';
  line.length = length;
  // A lasting read error would otherwise look like "not at end yet" for ever.
  if (std::ferror(input) != 0) {
    error = errno != 0 ? errno : EIO;
    return ReadResult::Failed;
  }
  return length > 0 ? ReadResult::Piece : ReadResult::End;
}

/// The output stream and whether its last written byte left a line open.
struct LineSink {
  std::FILE* stream = nullptr;
  bool line_open = false;

  bool write(const char* bytes, std::size_t length) {
    if (length == 0) return true;
    if (std::fwrite(bytes, 1, length, stream) != length) return false;
    line_open = bytes[length - 1] != '\n';
    return true;
  }
  bool write(const LineBuffer& line) { return write(line.text.data(), line.length); }

  /// The status of a failed write: the stream's error indicator.
  int failure() const {
    const int indicator = std::ferror(stream);
    return indicator != 0 ? indicator : EIO;
  }
};

int reading_pass(std::FILE* input, LineSink& sink, LineBuffer& line, LineFilterFn handler,
                 CoreTable* table) {
  if (input == nullptr) return 0;
  for (;;) {
    int error = 0;
    const ReadResult result = read_piece(input, line, error);
    if (result == ReadResult::End) return 0;
    if (result == ReadResult::Failed) return error;
    if (handler != nullptr) {
      const int status = handler(line, *table, false);
      if (status != 0) return status;
    }
    if (sink.stream != nullptr && !sink.write(line)) return sink.failure();
  }
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

int print_open_failure(const char* path) {
  const int error = errno != 0 ? errno : EIO;
  std::printf("error opening \"%s\"\n", path);
  return error;
}

/// The output counts as written only once it is on the disk and closed.
int finish_output(FilePtr output) {
  int status = 0;
  // Pipes and character devices cannot be synced; their data is already out.
  if (::fsync(fileno(output.get())) != 0 && errno != EINVAL && errno != ENOTSUP) status = errno;
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

int filter_lines(std::FILE* input, std::FILE* output, LineFilterFn handler, CoreTable* table) {
  if (handler != nullptr && table == nullptr) return EINVAL;
  std::unique_ptr<char[]> storage;
  try {
    storage = std::make_unique_for_overwrite<char[]>(kLineBufferSize);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  LineBuffer line{std::span<char, kLineBufferSize>(storage.get(), kLineBufferSize)};
  clear_line(line);
  LineSink sink{output};

  int status = reading_pass(input, sink, line, handler, table);
  if (status == 0 && handler != nullptr && output != nullptr)
    status = final_pass(sink, line, handler, *table);
  // A zero status promises complete output, so data still buffered must get out.
  if (status == 0 && output != nullptr && std::fflush(output) != 0) status = sink.failure();
  return status;
}

int filter_file(const char* input_path, const char* output_path, LineFilterFn handler,
                CoreTable* table, bool* output_opened) {
  if (output_opened != nullptr) *output_opened = false;
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return print_open_failure(input_path);
  FilePtr output;
  if (output_path != nullptr) {
    output.reset(std::fopen(output_path, "w"));
    if (!output) return print_open_failure(output_path);
    if (output_opened != nullptr) *output_opened = true;
  }

  int status = filter_lines(input.get(), output.get(), handler, table);
  input.reset();
  if (output && status == 0) status = finish_output(std::move(output));
  return status;
}

int filter_file_to_stdout(const char* input_path, LineFilterFn handler, CoreTable* table) {
  FilePtr input(std::fopen(input_path, "r"));
  if (!input) return print_open_failure(input_path);
  return filter_lines(input.get(), stdout, handler, table);
}
