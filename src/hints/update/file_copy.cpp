// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/file_copy.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <new>

#include "common/interrupted_calls.h"

namespace {

constexpr std::size_t kCopyBlockSize = std::size_t{64} * 1024;

/// Writes all of `bytes`; a short or interrupted write goes on.
int write_all(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = retry_interrupted([&] { return ::write(fd, bytes, length); });
    if (written < 0) return errno;
    if (written == 0) return EIO;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return 0;
}

/// Reads the next block; an interrupted read goes on. 0 at the end of input.
std::size_t read_block(std::FILE* input, char* block, int& error) {
  std::size_t got = 0;
  for (;;) {
    errno = 0;
    got += std::fread(block + got, 1, kCopyBlockSize - got, input);
    if (std::ferror(input) == 0 || got == kCopyBlockSize) return got;
    if (errno != EINTR) {
      error = errno != 0 ? errno : EIO;
      return got;
    }
    std::clearerr(input);
  }
}

}  // namespace

int copy_text(std::FILE* input, FileDescriptor output) {
  const std::unique_ptr<char[]> block(new (std::nothrow) char[kCopyBlockSize]);
  if (!block) return ENOMEM;
  std::setvbuf(input, nullptr, _IONBF, 0);
  for (;;) {
    int error = 0;
    const std::size_t got = read_block(input, block.get(), error);
    if (got > 0) {
      if (const int status = write_all(output.get(), block.get(), got); status != 0) return status;
    }
    if (error != 0) return error;
    if (got < kCopyBlockSize) break;
  }
  // The copy counts only once it is on the disk; pipes and character
  // devices cannot be synced, and their data is out already.
  const int fd = output.get();
  if (retry_interrupted([fd] { return ::fsync(fd); }) != 0 && errno != EINVAL && errno != ENOTSUP)
    return errno;
  if (::close(output.release()) != 0 && errno != EINTR) return errno;
  return 0;
}
