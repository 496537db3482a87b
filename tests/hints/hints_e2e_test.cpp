// SPDX-License-Identifier: BSD-2-Clause
// The hints commands of the real binary under the driver stand-in: bytes of
// the hints file, its backup, standard output and standard error, exit statuses.

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "hints_e2e_support.h"
#include "scratch_dir.h"
#include "tool_runner.h"
#include "worked_example.h"

namespace {

using hints_e2e::four_cores;

const std::string& kExample = worked_example::kInput;

const std::string kHeader =
    "  CPU | LApic-ID | mode now | mode next boot\r\n"
    "----------------------------------------------\n";

// The disable hints of cores 0, 2, 4, 6 when two stay shared.
const std::string kTwoSharedHints =
    "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
    "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n";

class HintsCommands : public ::testing::Test {
 protected:
  ToolRun run(std::vector<std::string> args, const DriverSim& driver = four_cores()) {
    args.insert(args.end(), {"-f", hints});
    RunOptions options;
    options.driver = driver;
    return run_tool(args, options);
  }

  ScratchDir dir;
  std::string hints = dir.file("device.hints.qvd");
  std::string backup = hints + ".KxBak";
};

TEST_F(HintsCommands, SetWithEveryModifierFollowsTheWorkedExample) {
  write_file(hints, kExample);
  const ToolRun tool = run({"-s", "2", "--strip", "--flat", "--write-clock-hint"});
  EXPECT_EQ(tool.exit_status, 0);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "");
  EXPECT_EQ(read_file(hints), worked_example::kWithEveryModifier);
  EXPECT_EQ(read_file(backup), kExample);
}

TEST_F(HintsCommands, SetWithoutModifiersAndDelete) {
  write_file(hints, kExample);
  EXPECT_EQ(run({"-s", "2"}).exit_status, 0);
  EXPECT_EQ(read_file(hints), worked_example::kWithoutModifiers);

  const ToolRun tool = run({"-d"});
  EXPECT_EQ(tool.exit_status, 0);
  EXPECT_EQ(read_file(hints),
            "# comment\n"
            "hint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.9.disabled=\"0\"\n"
            "hint.apic.0.clock=\"1\"\n"
            "kern.smp.topology=\"1\"\n"
            "hint.acpi.0.disabled=\"1\"\n"
            "hint.lapic.0.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"0\"\n"
            "hint.lapic.6.disabled=\"0\"\n");
}

TEST_F(HintsCommands, ShowFollowsTheWorkedExample) {
  write_file(hints,
             "hint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n"
             "hint.lapic.6.disabled=1\nhint.lapic.9.disabled=\"1\"\n");
  const ToolRun tool = run({"--show"}, four_cores("3"));
  EXPECT_EQ(tool.exit_status, 0);
  EXPECT_EQ(tool.err, "");
  EXPECT_EQ(tool.out, kHeader +
                          "    0 |    00    |  shared  |     shared \r\n"
                          "    1 |    02    |  shared  |     shared \r\n"
                          "    2 |    04    |  shared  |    isolated\r\n"
                          "    3 |    06    | isolated |    isolated\r\n");
  // A run without a command shows the same, and the report reads what -s wrote.
  EXPECT_EQ(run({}, four_cores("3")).out, tool.out);
  EXPECT_EQ(run({"-s", "1"}).exit_status, 0);
  EXPECT_EQ(run({"--show"}, {true, "0,16", "", ""}).out,
            kHeader +
                "    0 |    00    |  shared  |     shared \r\n"
                "    1 |    10    |  shared  |     shared \r\n");
  EXPECT_EQ(run({"--show"}, four_cores()).out,
            kHeader +
                "    0 |    00    |  shared  |     shared \r\n"
                "    1 |    02    |  shared  |    isolated\r\n"
                "    2 |    04    |  shared  |    isolated\r\n"
                "    3 |    06    |  shared  |    isolated\r\n");
}

TEST_F(HintsCommands, StdoutPrintsTheNewTextAndTouchesNothing) {
  write_file(hints, kExample);
  const ToolRun tool = run({"-s", "2", "--stdout", "--strip"});
  EXPECT_EQ(tool.exit_status, 0);
  EXPECT_EQ(tool.err, "");
  EXPECT_EQ(tool.out,
            "# comment\n"
            "hint.lapic.2.disabled=\"0\"\n"
            "hint.apic.0.clock=\"1\"\n"
            "kern.smp.topology=\"1\"\n"
            "hint.acpi.0.disabled=\"1\"\n"
            "hint.lapic.0.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\n"
            "hint.lapic.6.disabled=\"1\"\n");
  EXPECT_EQ(read_file(hints), kExample);
  EXPECT_FALSE(file_exists(backup));
}

TEST_F(HintsCommands, LineEndsTabsAndAnUnendedLastLine) {
  // Unchanged lines keep their carriage returns; rewritten ones end in a line
  // feed alone. A tab around "=" is the loader's separator too.
  const std::string input =
      "# crlf\r\n"
      "hint.lapic.2.disabled=1\r\n"
      "hint.lapic.4.disabled\t=\"0\"\r\n"
      "kern.smp.topology=\t\"1\"\r\n"
      "# no line feed";
  write_file(hints, input);
  EXPECT_EQ(run({"-s", "2", "--flat"}).exit_status, 0);
  EXPECT_EQ(read_file(hints),
            "# crlf\r\n"
            "hint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\n"
            "kern.smp.topology=\"2\"\n"
            "# no line feed\n"
            "hint.lapic.0.disabled=\"0\"\n"
            "hint.lapic.6.disabled=\"1\"\n");
  EXPECT_EQ(read_file(backup), input);

  // With nothing to append, the last line stays unended.
  write_file(hints, kTwoSharedHints + "# no line feed");
  EXPECT_EQ(run({"-s", "2"}).exit_status, 0);
  EXPECT_EQ(read_file(hints), kTwoSharedHints + "# no line feed");
}

TEST_F(HintsCommands, LongLinesAndRepeatedDriverIdsNeverGiveAWrongSplit) {
  // The second 2047-byte piece of this comment reads like core 4's hint.
  const std::string comment = "#" + std::string(2046, ' ') + "hint.lapic.4.disabled=\"0\"\n";
  write_file(hints, comment + "hint.lapic.4.disabled=\"0\"\n");
  EXPECT_EQ(run({"-s", "2"}).exit_status, 0);
  EXPECT_EQ(read_file(hints), comment + "hint.lapic.4.disabled=\"1\"\n" +
                                  "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
                                  "hint.lapic.6.disabled=\"1\"\n");
  EXPECT_EQ(run({"--show"}, four_cores("4")).out,
            kHeader + "    0 |    00    |  shared  |     shared \r\n"
                      "    1 |    02    |  shared  |     shared \r\n"
                      "    2 |    04    |  shared  |    isolated\r\n"
                      "    3 |    06    |  shared  |    isolated\r\n");

  // A driver that repeats ids: one line per id, the first core's value, and
  // the boot processor stays shared.
  const DriverSim repeating{true, "0,2,2,4,0", "5", ""};
  write_file(hints, "hint.lapic.0.disabled=\"0\"\n");
  EXPECT_EQ(run({"-s", "2"}, repeating).exit_status, 0);
  EXPECT_EQ(read_file(hints),
            "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n");
  // The report is as before: a repeated id's later core shows its mode now.
  EXPECT_EQ(run({"--show"}, repeating).out,
            kHeader + "    0 |    00    |  shared  |     shared \r\n"
                      "    1 |    02    |  shared  |     shared \r\n"
                      "    2 |    02    |  shared  |     shared \r\n"
                      "    3 |    04    |  shared  |    isolated\r\n"
                      "    4 |    00    |  shared  |     shared \r\n");
}

TEST_F(HintsCommands, EmptyHintsFile) {
  write_file(hints, "");
  const ToolRun show = run({"--show"}, four_cores("1"));
  EXPECT_EQ(show.exit_status, 0);
  EXPECT_EQ(show.out, kHeader +
                          "    0 |    00    |  shared  |     shared \r\n"
                          "    1 |    02    | isolated |    isolated\r\n"
                          "    2 |    04    | isolated |    isolated\r\n"
                          "    3 |    06    | isolated |    isolated\r\n");

  const ToolRun to_stdout = run({"-s", "2", "--stdout", "--flat"});
  EXPECT_EQ(to_stdout.exit_status, 0);
  EXPECT_EQ(to_stdout.out, kTwoSharedHints + "kern.smp.topology=\"2\"\n");

  EXPECT_EQ(run({"-s", "2"}).exit_status, 0);
  EXPECT_EQ(read_file(hints), kTwoSharedHints);
  EXPECT_EQ(read_file(backup), "");
}

TEST_F(HintsCommands, MissingHintsFile) {
  const std::string opening = "error opening \"" + hints + "\"\n";
  const ToolRun show = run({"--show"}, four_cores("2"));
  EXPECT_EQ(show.exit_status, 0);
  EXPECT_EQ(show.out, opening + kHeader +
                          "    0 |    00    |  shared  |     shared \r\n"
                          "    1 |    02    |  shared  |     shared \r\n"
                          "    2 |    04    | isolated |    isolated\r\n"
                          "    3 |    06    | isolated |    isolated\r\n");

  const ToolRun to_stdout = run({"-s", "2", "--stdout"});
  EXPECT_EQ(to_stdout.exit_status, 2);  // ENOENT
  EXPECT_EQ(to_stdout.out, opening);
  EXPECT_EQ(to_stdout.err, "");

  const ToolRun set = run({"-s", "2"});
  EXPECT_EQ(set.exit_status, 251);
  EXPECT_EQ(set.out, opening);
  EXPECT_EQ(set.err, "error creating backup file of \"" + hints + "\"\n");
  EXPECT_EQ(hints_e2e::names_in(dir.path()), std::vector<std::string>{});

  // Captured into one file, the lines read in the order they were written.
  RunOptions merged;
  merged.driver = four_cores();
  merged.prefix = {"sh", "-c", "exec \"$@\" 2>&1", "sh"};
  const ToolRun captured = run_tool({"-s", "2", "-f", hints}, merged);
  EXPECT_EQ(captured.exit_status, 251);
  EXPECT_EQ(captured.out, opening + set.err);
}

TEST_F(HintsCommands, BackupHoldsTheTextBeforeTheLatestUpdate) {
  write_file(hints, kExample);
  ASSERT_EQ(chmod(hints.c_str(), 0604), 0);
  EXPECT_EQ(run({"-s", "2"}).exit_status, 0);
  EXPECT_EQ(read_file(backup), kExample);
  const std::string after_first = read_file(hints);
  EXPECT_EQ(run({"-s", "3", "--flat"}).exit_status, 0);
  EXPECT_EQ(read_file(backup), after_first);
  EXPECT_NE(read_file(hints), after_first);

  struct stat status {};
  ASSERT_EQ(stat(hints.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0604u);
}

TEST_F(HintsCommands, NoTemporaryFileIsLeftBehind) {
  if (!hints_e2e::can_make_mount_namespace()) GTEST_SKIP() << "needs root and unshare -m";
  const std::string private_tmp = dir.file("tmp");
  ASSERT_EQ(mkdir(private_tmp.c_str(), 01777), 0);
  write_file(hints, kExample);
  RunOptions options;
  options.driver = four_cores();
  options.prefix = hints_e2e::with_private_tmp(dir.path(), private_tmp);
  const ToolRun tool = run_tool({"-s", "2", "-f", "device.hints.qvd"}, options);
  EXPECT_EQ(tool.exit_status, 0);
  EXPECT_EQ(tool.err, "");
  EXPECT_EQ(hints_e2e::temporary_files_in(private_tmp), std::vector<std::string>{});
  EXPECT_EQ(read_file(backup), kExample);
}

TEST_F(HintsCommands, PathTooLongForTheBackupNameIsRefused) {
  const std::string long_hints = dir.path() + "/" + std::string(254 - dir.path().size(), 'h');
  ASSERT_EQ(long_hints.size(), 255u);
  write_file(long_hints, kExample);
  RunOptions options;
  options.driver = four_cores();
  const ToolRun tool = run_tool({"-s", "2", "-f", long_hints}, options);
  EXPECT_EQ(tool.exit_status, 251);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "error creating backup file of \"" + long_hints + "\"\n");
  EXPECT_EQ(read_file(long_hints), kExample);
  EXPECT_EQ(hints_e2e::names_in(dir.path()).size(), 1u);
}

TEST_F(HintsCommands, ReadersAndTheUpdateWaitForEachOther) {
  write_file(hints, kExample);
  const int holder = open(hints.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  // Bounded, so that a run that wrongly waits fails instead of hanging.
  RunOptions bounded;
  bounded.driver = four_cores();
  bounded.prefix = {"timeout", "60"};

  // Another reader does not hold up a report or a dry run.
  ASSERT_EQ(flock(holder, LOCK_SH), 0);
  const ToolRun to_stdout = run_tool({"-s", "2", "--stdout", "-f", hints}, bounded);
  EXPECT_EQ(to_stdout.exit_status, 0);
  EXPECT_EQ(run_tool({"--show", "-f", hints}, bounded).exit_status, 0);

  // A writer holds up the update, the report and the dry run alike.
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  ToolRun update, show, dry_run;
  std::atomic<int> finished{0};
  const auto start = [&](ToolRun& result, std::vector<std::string> args) {
    return std::thread([&result, &finished, &bounded, args] {
      result = run_tool(args, bounded);
      ++finished;
    });
  };
  std::thread updater = start(update, {"-s", "2", "-f", hints});
  std::thread shower = start(show, {"--show", "-f", hints});
  std::thread dry_runner = start(dry_run, {"-d", "--stdout", "-f", hints});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // While the lock is held, none has finished and the update has not even
  // made its backup.
  EXPECT_EQ(finished, 0);
  EXPECT_FALSE(file_exists(backup));
  EXPECT_EQ(read_file(hints), kExample);
  flock(holder, LOCK_UN);
  close(holder);
  updater.join();
  shower.join();
  dry_runner.join();
  EXPECT_EQ(update.exit_status, 0);
  EXPECT_EQ(show.exit_status, 0);
  EXPECT_EQ(dry_run.exit_status, 0);
  EXPECT_EQ(read_file(backup), kExample);
  EXPECT_EQ(read_file(hints), to_stdout.out);
}

}  // namespace
