// SPDX-License-Identifier: BSD-2-Clause
#include "hints/hints_update.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "filter_harness.h"
#include "scratch_dir.h"

namespace {

using hints_test::make_table;

const std::string kOld = "# boot hints\r\nhint.lapic.2.disabled=\"1\"\nkern.smp.topology=1";
const std::string kNew =
    "# boot hints\r\nhint.lapic.2.disabled=\"0\"\nkern.smp.topology=\"2\"\n"
    "hint.lapic.0.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n";

struct Update {
  int status = 0;
  std::string out;
  std::string err;
};

Update run_update(const std::string& hints_path, std::uint32_t flags = Flat) {
  CoreTablePtr table = make_table({0, 2, 4}, 3, 2, flags);
  Update update;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  update.status = update_hints_file(*table, hints_path.c_str());
  std::fflush(stdout);
  update.err = ::testing::internal::GetCapturedStderr();
  update.out = ::testing::internal::GetCapturedStdout();
  return update;
}

TEST(HintsUpdate, EditsInPlaceBehindABackup) {
  const ScratchDir dir;
  const std::string hints = dir.file("device.hints");
  write_file(hints, kOld);
  ASSERT_EQ(chmod(hints.c_str(), 0640), 0);
  struct stat before {};
  ASSERT_EQ(stat(hints.c_str(), &before), 0);

  const Update update = run_update(hints);
  EXPECT_EQ(update.status, 0);
  EXPECT_EQ(update.out, "");
  EXPECT_EQ(update.err, "");
  EXPECT_EQ(read_file(hints), kNew);
  EXPECT_EQ(read_file(hints + ".KxBak"), kOld);

  struct stat after {};
  ASSERT_EQ(stat(hints.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode & 07777, 0640u);

  // A second update backs up what the first one wrote.
  EXPECT_EQ(run_update(hints).status, 0);
  EXPECT_EQ(read_file(hints + ".KxBak"), kNew);
}

TEST(HintsUpdate, ToStdoutLeavesTheFileAlone) {
  const ScratchDir dir;
  const std::string hints = dir.file("device.hints");
  write_file(hints, kOld);
  const Update update = run_update(hints, Flat | ToStdout);
  EXPECT_EQ(update.status, 0);
  EXPECT_EQ(update.out, kNew);
  EXPECT_EQ(read_file(hints), kOld);
  EXPECT_FALSE(file_exists(hints + ".KxBak"));

  const Update missing = run_update(dir.file("missing"), ToStdout);
  EXPECT_EQ(missing.status, ENOENT);
  EXPECT_EQ(missing.out, "error opening \"" + dir.file("missing") + "\"\n");
  EXPECT_EQ(missing.err, "");
}

TEST(HintsUpdate, MissingHintsFileIsAFailedBackupAndIsNotCreated) {
  const ScratchDir dir;
  const std::string hints = dir.file("device.hints");
  const Update update = run_update(hints);
  EXPECT_EQ(update.status, -5);
  EXPECT_EQ(update.out, "error opening \"" + hints + "\"\n");
  EXPECT_EQ(update.err, "error creating backup file of \"" + hints + "\"\n");
  EXPECT_FALSE(file_exists(hints));
  EXPECT_FALSE(file_exists(hints + ".KxBak"));
}

TEST(HintsUpdate, PathTooLongForTheBackupNameIsRefusedUntouched) {
  const ScratchDir dir;
  for (const std::size_t length : {std::size_t{250}, std::size_t{255}}) {
    const std::string prefix = dir.path() + "/";
    const std::string hints = prefix + std::string(length - prefix.size(), 'h');
    ASSERT_EQ(hints.size(), length);
    write_file(hints, kOld);
    const Update update = run_update(hints);
    EXPECT_EQ(update.status, -5);
    EXPECT_EQ(update.out, "");
    EXPECT_EQ(update.err, "error creating backup file of \"" + hints + "\"\n");
    EXPECT_EQ(read_file(hints), kOld);
  }
  // 249 characters leave room for the whole suffix.
  const std::string prefix = dir.path() + "/";
  const std::string hints = prefix + std::string(249 - prefix.size(), 'k');
  write_file(hints, kOld);
  EXPECT_EQ(run_update(hints).status, 0);
  EXPECT_EQ(read_file(hints + ".KxBak"), kOld);
}

}  // namespace
