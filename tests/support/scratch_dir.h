// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>

/// A fresh directory under /tmp, removed with its contents at the end of scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  /// path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

/// Writes `bytes` to `path` exactly (created or truncated); aborts the test on failure.
void write_file(const std::string& path, const std::string& bytes);
/// The bytes of `path`; sets `exists` false (and returns "") when it cannot be opened.
std::string read_file(const std::string& path, bool* exists = nullptr);
bool file_exists(const std::string& path);
