// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>

/// Closes a stream at the end of its owner's scope; a close whose result
/// matters is done by hand before that (see filter_file).
struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

/// Owns one open descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// Gives the descriptor up to a new owner (a stream, say).
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};
