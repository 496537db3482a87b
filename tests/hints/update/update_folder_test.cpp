// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/update_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "scratch_dir.h"

namespace {

TEST(UpdatePaths, NamesBesideTheFileWholeOrNotAtAll) {
  UpdatePaths paths{};
  ASSERT_TRUE(make_update_paths("/boot/device.hints.qvd", paths));
  EXPECT_STREQ(paths.file.data(), "/boot/device.hints.qvd");
  EXPECT_STREQ(paths.directory.data(), "/boot");
  EXPECT_STREQ(paths.name.data(), "device.hints.qvd");
  EXPECT_STREQ(paths.backup.data(), "/boot/device.hints.qvd.KxBak");
  EXPECT_STREQ(paths.marker.data(), "/boot/device.hints.qvd.KxCpy");
  EXPECT_STREQ(paths.aside_template.data(), "/boot/device.hints.qvd.KxTmp.XXXXXX");

  // A cut-short name could be the hints file itself or another file beside
  // it: a path or a name one byte past what its suffixes leave is refused.
  const std::string folder = "/" + std::string(10, 'f') + "/";
  const struct {
    std::string path;
    bool made;
  } cases[] = {
      {folder + std::string(249 - folder.size(), 'a'), true},
      {folder + std::string(250 - folder.size(), 'a'), false},
      {"/" + std::string(242, 'n'), true},
      {"/" + std::string(243, 'n'), false},
  };
  for (const auto& c : cases) {
    UpdatePaths made{};
    EXPECT_EQ(make_update_paths(c.path.c_str(), made), c.made) << c.path.size();
    if (c.made) {
      EXPECT_EQ(std::string(made.marker.data()), c.path + ".KxCpy");
    }
  }
}

TEST(UpdatePaths, ALinkIsFollowedToTheFileItsTargetNames) {
  const ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
  write_file(dir.file("sub/real"), "");
  ASSERT_EQ(::symlink("real", dir.file("sub/next").c_str()), 0);
  ASSERT_EQ(::symlink("sub/next", dir.file("link").c_str()), 0);
  UpdatePaths paths{};
  ASSERT_TRUE(make_update_paths(dir.file("link").c_str(), paths));
  EXPECT_EQ(std::string(paths.file.data()), dir.file("sub/real"));
  EXPECT_EQ(std::string(paths.directory.data()), dir.file("sub"));
  EXPECT_EQ(std::string(paths.backup.data()), dir.file("sub/real.KxBak"));
}

}  // namespace
