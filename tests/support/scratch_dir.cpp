// SPDX-License-Identifier: BSD-2-Clause
#include "scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

ScratchDir::ScratchDir() {
  char name[] = "/tmp/rididezuve-test-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    ADD_FAILURE() << "cannot create a scratch directory";
    std::abort();
  }
  path_ = name;
  // Open to every user, so runs as an unprivileged user can reach their files.
  chmod(path_.c_str(), 0755);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::file(const std::string& name) const { return path_ + "/" + name; }

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
    std::abort();
  }
}

std::string read_file(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists != nullptr) {
    *exists = static_cast<bool>(in);
  }
  if (!in) {
    return {};
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool file_exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}
