// SPDX-License-Identifier: BSD-2-Clause
// Updates that fail part way: a full disk during the backup, the edit and the
// copy back, places an unprivileged user may not write, and a standard output
// that takes nothing. After each, the hints file holds its old text or the
// complete new one, and the run says which step failed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "hints_e2e_support.h"
#include "scratch_dir.h"
#include "tool_runner.h"

namespace {

using hints_e2e::four_cores;

/// Comment lines of 64 bytes, `size` bytes in all.
std::string comment_text(std::size_t size) {
  std::string text;
  while (text.size() + 64 <= size) text += "#" + std::string(62, '-') + "\n";
  return text + std::string(size - text.size(), '#');
}

/// APIC ids 0 to 255, as the driver's capacity allows.
DriverSim many_cores() { return simulated_driver(consecutive_ids(256)); }

class HintsFaults : public hints_e2e::AsRoot {
 protected:
  /// A folder every user may write to, for runs as an unprivileged user.
  std::string open_folder(const std::string& name) { return folder(name, 0777); }

  /// A 20 KiB tmpfs holding an 8 KiB hints file: the hints file and its
  /// backup take two pages each, and a new text of more than three pages
  /// cannot be copied back once the hints file is truncated. False (the test
  /// is then skipped) without mount namespaces or a tmpfs.
  bool make_disk_full_for_the_copy_back() {
    if (!hints_e2e::can_make_mount_namespace()) return false;
    EXPECT_EQ(mkdir(disk_fs.c_str(), 0755), 0);
    EXPECT_EQ(mkdir(disk_tmp.c_str(), 01777), 0);
    disk_tmpfs = std::make_unique<hints_e2e::TinyTmpfs>(disk_fs, "20k");
    if (!disk_tmpfs->mounted()) return false;
    write_file(disk_hints, disk_old_text);
    return true;
  }

  /// Options that run the tool in `disk_fs`, with `disk_tmp` as its /tmp.
  RunOptions copy_back_options() const {
    RunOptions options;
    options.driver = many_cores();
    options.prefix = hints_e2e::with_private_tmp(disk_fs, disk_tmp);
    return options;
  }

  const std::string disk_fs = dir.file("fs"), disk_tmp = dir.file("tmp");
  const std::string disk_hints = disk_fs + "/device.hints.qvd";
  const std::string disk_old_text = comment_text(8192);
  std::unique_ptr<hints_e2e::TinyTmpfs> disk_tmpfs;
};

TEST_F(HintsFaults, DiskFullDuringTheBackup) {
  const std::string fs = dir.file("fs");
  ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
  const hints_e2e::TinyTmpfs tmpfs(fs, "16k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs";
  const std::string hints = fs + "/device.hints.qvd", old_text = comment_text(12000);
  write_file(hints, old_text);

  RunOptions options;
  options.driver = four_cores();
  const ToolRun tool = run_tool({"-s", "2", "-f", hints}, options);
  EXPECT_EQ(tool.exit_status, 251);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "error creating backup file of \"" + hints + "\"\n");
  EXPECT_EQ(read_file(hints), old_text);
}

TEST_F(HintsFaults, DiskFullDuringTheEditLeavesNoTemporaryFile) {
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string folder = dir.file("w"), tiny = dir.file("tmp");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(tiny.c_str(), 0755), 0);
  const hints_e2e::TinyTmpfs tmpfs(tiny, "4k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs";
  ASSERT_EQ(chmod(tiny.c_str(), 01777), 0);
  const std::string old_text = comment_text(12000);
  write_file(folder + "/device.hints.qvd", old_text);

  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::with_private_tmp(folder, tiny);
  // A retry finds /tmp as empty as the first run did.
  for (int run = 0; run < 2; ++run) {
    const ToolRun tool = run_tool({"-s", "2", "-f", "device.hints.qvd"}, options);
    EXPECT_EQ(tool.exit_status, 250);
    EXPECT_EQ(tool.out, "");
    EXPECT_EQ(tool.err, "error changing \"device.hints.qvd\"\n");
    EXPECT_EQ(read_file(folder + "/device.hints.qvd"), old_text);
    EXPECT_EQ(read_file(folder + "/device.hints.qvd.KxBak"), old_text);
    EXPECT_EQ(hints_e2e::names_in(tiny), std::vector<std::string>{});
    EXPECT_EQ(hints_e2e::names_in(folder),
              (std::vector<std::string>{"device.hints.qvd", "device.hints.qvd.KxBak"}));
  }
}

TEST_F(HintsFaults, DiskFullDuringTheCopyBackRestoresTheOldText) {
  if (!make_disk_full_for_the_copy_back()) GTEST_SKIP() << "needs unshare -m and a tmpfs";

  RunOptions preview;
  preview.driver = many_cores();
  const ToolRun expected =
      run_tool({"-s", "1", "--write-clock-hint", "--stdout", "-f", disk_hints}, preview);
  ASSERT_EQ(expected.exit_status, 0);
  ASSERT_GT(expected.out.size(), 12288u);

  const ToolRun tool =
      run_tool({"-s", "1", "--write-clock-hint", "-f", "device.hints.qvd"}, copy_back_options());
  EXPECT_EQ(tool.exit_status, 249);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "error writing \"device.hints.qvd\"\n");
  EXPECT_EQ(read_file(disk_hints), disk_old_text);
  EXPECT_EQ(read_file(disk_hints + ".KxBak"), disk_old_text);
  // The temporary file is kept with the whole new text.
  EXPECT_EQ(read_file(hints_e2e::only_temporary_file(disk_tmp)), expected.out);
}

TEST_F(HintsFaults, DiskFullDuringTheCopyBackAndNoRestoreNamesTheBackup) {
  if (!make_disk_full_for_the_copy_back()) GTEST_SKIP() << "needs unshare -m and a tmpfs";

  RunOptions options = copy_back_options();
  options.preload = {UNREADABLE_BACKUP_PRELOAD};
  const ToolRun tool =
      run_tool({"-s", "1", "--write-clock-hint", "-f", "device.hints.qvd"}, options);
  EXPECT_EQ(tool.exit_status, 249);
  EXPECT_EQ(tool.out, "error opening \"device.hints.qvd.KxBak\"\n");
  EXPECT_EQ(tool.err,
            "error writing \"device.hints.qvd\"\n"
            "error restoring \"device.hints.qvd\": its previous text is in "
            "\"device.hints.qvd.KxBak\"\n");
  // The operator still has both texts: the old one in the backup, the new one
  // in the temporary file.
  EXPECT_EQ(read_file(disk_hints + ".KxBak"), disk_old_text);
  EXPECT_GT(read_file(hints_e2e::only_temporary_file(disk_tmp)).size(), 12288u);
}

TEST_F(HintsFaults, StdoutThatTakesNothing) {
  const std::string hints = dir.file("device.hints.qvd");
  write_file(hints, "hint.lapic.2.disabled=1\n");
  RunOptions options;
  options.driver = four_cores();
  options.stdout_path = "/dev/full";
  const ToolRun tool = run_tool({"-s", "2", "--stdout", "-f", hints}, options);
  EXPECT_NE(tool.exit_status, 0);
  EXPECT_EQ(tool.err, "error writing standard output\n");
  EXPECT_EQ(read_file(hints), "hint.lapic.2.disabled=1\n");
  EXPECT_FALSE(file_exists(hints + ".KxBak"));
}

TEST_F(HintsFaults, UnprivilegedUserCannotWriteTheBackup) {
  const std::string hints = dir.file("device.hints.qvd");
  write_file(hints, "# old\n");
  ASSERT_EQ(chmod(hints.c_str(), 0666), 0);
  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::kUnprivileged;
  const ToolRun tool = run_tool({"-s", "2", "-f", hints}, options);
  EXPECT_EQ(tool.exit_status, 251);
  EXPECT_EQ(tool.out, "error opening \"" + hints + ".KxBak\"\n");
  EXPECT_EQ(tool.err, "error creating backup file of \"" + hints + "\"\n");
  EXPECT_EQ(read_file(hints), "# old\n");
  EXPECT_FALSE(file_exists(hints + ".KxBak"));
}

TEST_F(HintsFaults, UnprivilegedUserCannotReadTheHintsFile) {
  const std::string folder = open_folder("w"), hints = folder + "/device.hints.qvd";
  write_file(hints, "# old\n");
  ASSERT_EQ(chmod(hints.c_str(), 0600), 0);
  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::kUnprivileged;
  const ToolRun tool = run_tool({"-s", "2", "-f", hints}, options);
  EXPECT_EQ(tool.exit_status, 251);
  EXPECT_EQ(tool.out, "error opening \"" + hints + "\"\n");
  EXPECT_EQ(tool.err, "error creating backup file of \"" + hints + "\"\n");
  EXPECT_EQ(hints_e2e::names_in(folder), std::vector<std::string>{"device.hints.qvd"});
}

TEST_F(HintsFaults, UnprivilegedUserCannotWriteTheHintsFile) {
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string folder = open_folder("w"), private_tmp = open_folder("tmp");
  ASSERT_EQ(chmod(private_tmp.c_str(), 01777), 0);
  const std::string hints = folder + "/device.hints.qvd";
  write_file(hints, "# old\n");
  ASSERT_EQ(chmod(hints.c_str(), 0444), 0);

  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::with_private_tmp(folder, private_tmp, hints_e2e::kUnprivileged);
  const ToolRun tool = run_tool({"-s", "2", "-f", "device.hints.qvd"}, options);
  EXPECT_EQ(tool.exit_status, 249);
  EXPECT_EQ(tool.out, "error opening \"device.hints.qvd\"\n");
  // The hints file was never opened for writing: nothing to restore.
  EXPECT_EQ(tool.err, "error writing \"device.hints.qvd\"\n");
  EXPECT_EQ(read_file(hints), "# old\n");
  EXPECT_EQ(read_file(hints + ".KxBak"), "# old\n");
  EXPECT_EQ(read_file(hints_e2e::only_temporary_file(private_tmp)),
            "# old\nhint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n");
}

TEST_F(HintsFaults, UnprivilegedUserCannotCreateTheTemporaryFile) {
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs unshare -m";
  const std::string folder = open_folder("w"), private_tmp = dir.file("tmp");
  ASSERT_EQ(mkdir(private_tmp.c_str(), 0755), 0);
  write_file(folder + "/device.hints.qvd", "# old\n");
  ASSERT_EQ(chmod((folder + "/device.hints.qvd").c_str(), 0666), 0);

  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::with_private_tmp(folder, private_tmp, hints_e2e::kUnprivileged);
  const ToolRun tool = run_tool({"-s", "2", "-f", "device.hints.qvd"}, options);
  EXPECT_EQ(tool.exit_status, 250);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "error changing \"device.hints.qvd\"\n");
  EXPECT_EQ(read_file(folder + "/device.hints.qvd"), "# old\n");
  EXPECT_EQ(read_file(folder + "/device.hints.qvd.KxBak"), "# old\n");
  EXPECT_EQ(hints_e2e::temporary_files_in(private_tmp), std::vector<std::string>{});
}

}  // namespace
