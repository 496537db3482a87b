// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/rooted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;

/// What one open gave: the file's text, "folder <path>" for a folder (by
/// identity, against the folder of that path inside the root), or the error.
std::string opened(const FileDescriptor& fd, const std::string& root) {
  if (!fd.valid()) return std::string("error ") + std::strerror(errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return "no fstat";
  if (S_ISDIR(status.st_mode)) {
    const auto same = [&](const fs::path& path) {
      struct stat other {};
      return ::stat(path.c_str(), &other) == 0 && other.st_dev == status.st_dev && other.st_ino == status.st_ino;
    };
    if (same(root)) return "folder /";
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (!entry.is_symlink() && same(entry.path())) return "folder " + entry.path().string().substr(root.size());
    }
    return "folder outside the root";
  }
  std::string text(64, '\0');
  const ssize_t got = ::read(fd.get(), text.data(), text.size());
  return got < 0 ? "unread" : text.substr(0, static_cast<std::size_t>(got));
}

TEST(RootedPath, EveryNameResolvesInsideTheRootAsItsOwnSystemWould) {
  const ScratchDir scratch;
  const std::string root = scratch.file("root");
  fs::create_directories(root + "/etc");
  fs::create_directories(root + "/boot/deep/er");
  fs::create_directories(scratch.file("outside"));
  write_file(root + "/etc/hostname", "inside");
  write_file(scratch.file("outside/hostname"), "outside");
  ASSERT_EQ(::mkfifo((root + "/boot/fifo").c_str(), 0600), 0);
  const auto link = [&](const std::string& target, const std::string& name) {
    fs::create_symlink(target, root + name);
  };
  link("/etc/hostname", "/boot/absolute");
  link("../etc/hostname", "/boot/relative");
  link("../../../../../etc/hostname", "/boot/above");
  link(scratch.file("outside/hostname"), "/boot/outside");  // this machine's path: none inside the root
  link("/etc", "/boot/etc");
  link("../../etc", "/boot/deep/etc");
  link("self", "/boot/self");
  link("ping", "/boot/pong");
  link("pong", "/boot/ping");
  link("/etc/hostname", "/boot/l0");
  for (int i = 1; i <= 41; ++i) link("l" + std::to_string(i - 1), "/boot/l" + std::to_string(i));

  const FileDescriptor root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root_fd.valid());
  const std::string loop = std::string("error ") + std::strerror(ELOOP);
  const struct {
    const char* path;
    int flags;
    std::string result;
  } cases[] = {
      {"/etc/hostname", O_RDONLY, "inside"},
      {"etc//hostname", O_RDONLY, "inside"},
      {"/boot/../../../etc/./hostname", O_RDONLY, "inside"},
      {"/boot/absolute", O_RDONLY, "inside"},
      {"/boot/relative", O_RDONLY, "inside"},
      {"/boot/above", O_RDONLY, "inside"},
      {"/boot/outside", O_RDONLY, std::string("error ") + std::strerror(ENOENT)},
      {"/boot/etc/hostname", O_RDONLY, "inside"},
      {"/boot/etc/../boot/deep/etc/hostname", O_RDONLY, "inside"},
      {"/boot/deep/etc/..", O_RDONLY | O_DIRECTORY, "folder /"},
      {"/boot/deep/er/../..", O_RDONLY | O_DIRECTORY, "folder /boot"},
      {"/boot/etc/", O_RDONLY | O_DIRECTORY, "folder /etc"},
      {"/", O_RDONLY | O_DIRECTORY, "folder /"},
      {"/etc/hostname/", O_RDONLY, std::string("error ") + std::strerror(ENOTDIR)},
      {"/etc/hostname/x", O_RDONLY, std::string("error ") + std::strerror(ENOTDIR)},
      {"/boot/self", O_RDONLY, loop},
      {"/boot/ping", O_RDONLY, loop},
      {"/boot/l39", O_RDONLY, "inside"},  // 40 links
      {"/boot/l40", O_RDONLY, loop},
      {"/boot/fifo", O_RDONLY, ""},  // opened without waiting for a writer
      {"", O_RDONLY, std::string("error ") + std::strerror(ENOENT)},
  };
  for (const auto& c : cases) {
    const FileDescriptor fd = open_in_root(root_fd.get(), c.path, c.flags);
    EXPECT_EQ(opened(fd, root), c.result) << c.path;
  }
}

}  // namespace
