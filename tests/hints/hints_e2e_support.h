// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Helpers for the end-to-end tests of the hints commands: private /tmp
// folders, tiny file systems and unprivileged runs. The tests run as root
// where they can; what needs root or a mount namespace is skipped otherwise.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "tool_runner.h"

namespace hints_e2e {

inline DriverSim four_cores(const std::string& shared = "4") { return {true, "0,2,4,6", shared, ""}; }

/// Runs the tool as user and group 65534 with no supplementary groups.
inline const std::vector<std::string> kUnprivileged{"setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups"};

inline bool can_make_mount_namespace() {
  static const bool possible =
      geteuid() == 0 && std::system("unshare -m true >/dev/null 2>&1") == 0;
  return possible;
}

/// A fixture for tests that need root (skipped otherwise), with a scratch
/// folder and subfolders of a given mode in it.
class AsRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
  }

  /// dir/name with exactly `mode`, whatever the umask (0777: every user may write).
  std::string folder(const std::string& name, mode_t mode) {
    const std::string path = dir.file(name);
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(chmod(path.c_str(), mode), 0);
    return path;
  }

  ScratchDir dir;
};

/// A prefix that runs the tool in a mount namespace of its own, in `workdir`,
/// with `private_tmp` mounted on /tmp for it alone: its temporary file stays
/// where the test can see it. Paths given to the tool must be relative to
/// `workdir`, since /tmp is covered. `then` follows (e.g. kUnprivileged).
inline std::vector<std::string> with_private_tmp(const std::string& workdir,
                                                 const std::string& private_tmp,
                                                 const std::vector<std::string>& then = {}) {
  std::vector<std::string> prefix{"unshare", "-m", "sh", "-c",
                                  "cd \"$1\" && mount --bind \"$2\" /tmp && shift 2 && exec \"$@\"",
                                  "sh", workdir, private_tmp};
  prefix.insert(prefix.end(), then.begin(), then.end());
  return prefix;
}

/// Like with_private_tmp, with a fresh tmpfs of `size` (e.g. "4k") on /tmp.
inline std::vector<std::string> with_tiny_tmp(const std::string& workdir, const std::string& size) {
  return {"unshare", "-m", "sh", "-c",
          "cd \"$1\" && mount -t tmpfs -o \"size=$2\" rididezuve-test /tmp && shift 2 && "
          "exec \"$@\"",
          "sh", workdir, size};
}

/// A small tmpfs mounted on a folder for the length of a test.
class TinyTmpfs {
 public:
  TinyTmpfs(const std::string& path, const std::string& size) : path_(path) {
    const std::string options = "size=" + size + ",mode=0755";
    mounted_ = ::mount("rididezuve-test", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~TinyTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  TinyTmpfs(const TinyTmpfs&) = delete;
  TinyTmpfs& operator=(const TinyTmpfs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

/// Names in a folder, sorted, without "." and "..".
inline std::vector<std::string> names_in(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// The tool's temporary files in a folder: names made from "rididezuve-XXXXXX".
inline std::vector<std::string> temporary_files_in(const std::string& folder) {
  std::vector<std::string> names = names_in(folder);
  std::erase_if(names, [](const std::string& name) {
    return name.size() != 17 || name.rfind("rididezuve-", 0) != 0;
  });
  return names;
}

/// The run's one temporary file in a private /tmp.
inline std::string only_temporary_file(const std::string& private_tmp) {
  const std::vector<std::string> names = temporary_files_in(private_tmp);
  EXPECT_EQ(names.size(), 1u);
  return names.size() == 1 ? private_tmp + "/" + names[0] : std::string();
}

}  // namespace hints_e2e
