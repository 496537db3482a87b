// SPDX-License-Identifier: BSD-2-Clause
// The command line and the dispatch seen from outside: usage text, messages,
// exit statuses and which command a command line selects.

#include "scratch_dir.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kUsage =
    "VaDiveDida:\n"
    "  -s --set CPUs\n"
    "      set number of shared cores\n"
    "  -d --delete\n"
    "      set all cores as shared core\n"
    "  -f NAME, --file NAME\n"
    "      set name of configuration file to change\n"
    "  --show\n"
    "      show active settings of shared/isolated cores\n"
    "  --strip\n"
    "      remove hints of unknown apics\n"
    "  --flat\n"
    "      add flat cpu topology setting\n"
    "  --sysxml\n"
    "      generate SystemInformation.xml and dump to output\n"
    "  --write-clock-hint\n"
    "      update clock settings for real-time\n"
    "  --stdout\n"
    "      dump config to stdout instead of file\n"
    "  --verify\n"
    "      check that the next boot applies the configuration file\n"
    "  --root DIR\n"
    "      read /boot and the configuration file under DIR for --verify\n";

const std::string kMultiple = "multiple commands have been set\n";
const std::string kIgnored = "update hints are ignored without -s or -d\n";
const std::string kReportHeader =
    "  CPU | LApic-ID | mode now | mode next boot\r\n"
    "----------------------------------------------\n";

// Four cores, APIC ids 0, 2, 4, 6, the first two shared now.
RunOptions four_cores() {
  RunOptions options;
  options.driver = simulated_driver("0,2,4,6", "2");
  return options;
}

// The disable hints that `-s N --stdout` writes for the four cores of an empty file.
std::string split_for(int shared) {
  std::string text;
  for (int core = 0; core < 4; ++core) {
    const bool isolated = core > 0 && core >= shared;
    text += "hint.lapic." + std::to_string(2 * core) + ".disabled=\"" + (isolated ? "1" : "0") + "\"\n";
  }
  return text;
}

class CommandLine : public testing::Test {
 protected:
  CommandLine() { write_file(hints_, ""); }
  ToolRun run(std::vector<std::string> args) { return run_tool(args, four_cores()); }

  ScratchDir dir_;
  std::string hints_ = dir_.file("device.hints");
};

TEST_F(CommandLine, HelpPrintsTheUsageTextWithoutTouchingTheDriver) {
  RunOptions no_driver;
  no_driver.driver.loaded = false;
  for (const char* help : {"-h", "--help"}) {
    const ToolRun run = run_tool({help}, no_driver);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, kUsage);
    EXPECT_EQ(run.err, "");
  }
}

TEST_F(CommandLine, ModifiersWithHelpWarnThenPrintTheUsage) {
  const ToolRun result = run({"--strip", "-h"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, kIgnored);
  EXPECT_EQ(result.out, kUsage);
}

TEST_F(CommandLine, SecondCommandIsRejected) {
  const std::vector<std::vector<std::string>> lines = {
      {"-s", "1", "-d"}, {"--show", "--show"}, {"-d", "-d"}, {"-s", "1", "--set", "2"},
      {"--sysxml", "-h"}, {"-h", "--show"}, {"-d", "-s", "two"},
      {"--verify", "--show"}, {"-s", "1", "--verify"}, {"--verify", "--verify"}};
  for (const auto& args : lines) {
    const ToolRun result = run(args);
    EXPECT_EQ(result.exit_status, 255) << testing::PrintToString(args);
    EXPECT_EQ(result.err, kMultiple) << testing::PrintToString(args);
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(CommandLine, SetArgumentMustBeginWithANumber) {
  for (const char* bad : {"two", "", "x3", "+", "-", " "}) {
    const ToolRun result = run({"-s", bad, "-f", hints_});
    EXPECT_EQ(result.exit_status, 255) << bad;
    EXPECT_EQ(result.err, "\"" + std::string(bad) + "\" is invalid parameter for -s\n");
  }
  EXPECT_EQ(read_file(hints_), "");
  EXPECT_FALSE(file_exists(hints_ + ".KxBak"));
}

TEST_F(CommandLine, SetArgumentIsReadLikeADecimalNumber) {
  struct Case {
    std::vector<std::string> args;
    int shared;
  };
  const std::vector<Case> cases = {
      {{"--set=3"}, 3},
      {{"--set", "3"}, 3},
      {{"-s", "3abc"}, 3},
      {{"-s3"}, 3},
      {{"-s", " \t2"}, 2},
      {{"-s", "+2"}, 2},
      {{"-s", "0x10"}, 0},
      {{"-s", "-1"}, 4},  // negative counts compare as very large unsigned numbers
      // Beyond 32 bits the count saturates; wrapping would give 1 in both cases.
      {{"-s", "4294967297"}, 4},
      {{"-s", "-4294967295"}, 4},
      {{"-s", "99999999999999999999999"}, 4},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--stdout", "-f", hints_});
    const ToolRun result = run(args);
    EXPECT_EQ(result.exit_status, 0) << testing::PrintToString(c.args);
    EXPECT_EQ(result.err, "") << testing::PrintToString(c.args);
    EXPECT_EQ(result.out, split_for(c.shared)) << testing::PrintToString(c.args);
  }
}

TEST_F(CommandLine, OptionParserDiagnosticsRejectTheLine) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--bogus"}, {"-x"}, {"-s"}, {"--set"}, {"-f"}, {"--file"}, {"--show=1"}}) {
    const ToolRun result = run(args);
    EXPECT_EQ(result.exit_status, 255) << testing::PrintToString(args);
    EXPECT_NE(result.err, "") << testing::PrintToString(args);
    EXPECT_EQ(result.out, "") << testing::PrintToString(args);
  }
}

TEST_F(CommandLine, WithoutACommandTheReportRuns) {
  const std::string expected_rows =
      "    0 |    00    |  shared  |     shared \r\n"
      "    1 |    02    |  shared  |     shared \r\n"
      "    2 |    04    | isolated |    isolated\r\n"
      "    3 |    06    | isolated |    isolated\r\n";
  // Only -f, and a lone argument that is no option.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-f", hints_}, {"stray", "-f", hints_}, {"--file=" + hints_, "--show"}}) {
    const ToolRun result = run(args);
    EXPECT_EQ(result.exit_status, 0) << testing::PrintToString(args);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, kReportHeader + expected_rows);
  }
}

TEST_F(CommandLine, NoArgumentsShowsTheDefaultHintsFile) {
  const ToolRun result = run({});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out.find("  CPU | LApic-ID"), result.out.find(kReportHeader));
  // The default file is only read; whether it exists here decides the first line.
  const bool exists = file_exists("/boot/device.hints.qvd");
  EXPECT_EQ(result.out.rfind("error opening \"/boot/device.hints.qvd\"\n", 0) == 0, !exists);
}

TEST_F(CommandLine, ModifiersWithoutAnUpdateOnlyWarn) {
  write_file(hints_, "hint.lapic.4.disabled=\"0\"\n");
  const ToolRun result = run({"--stdout", "--flat", "--root", dir_.path(), "--flat", "-f", hints_});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, kIgnored + "--root is ignored without --verify\n");
  EXPECT_EQ(result.out.substr(0, kReportHeader.size()), kReportHeader);
  EXPECT_NE(result.out.find("    2 |    04    | isolated |     shared \r\n"), std::string::npos);
  EXPECT_EQ(read_file(hints_), "hint.lapic.4.disabled=\"0\"\n");
}

TEST_F(CommandLine, TheLastFileOptionWins) {
  const std::string other = dir_.file("other.hints");
  write_file(other, "hint.lapic.6.disabled=\"0\"\n");
  const ToolRun result = run({"-f", dir_.file("first"), "--show", "-f", other});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out.find("error opening"), std::string::npos);
  EXPECT_NE(result.out.find("    3 |    06    | isolated |     shared \r\n"), std::string::npos);
}

TEST_F(CommandLine, FilePathsLongerThan259CharactersAreRefused) {
  const std::string longest = "/" + std::string(258, 'a');
  const std::string too_long = longest + "b";
  const ToolRun refused = run({"-s", "1", "-f", too_long});
  EXPECT_EQ(refused.exit_status, 255);
  EXPECT_EQ(refused.err, "\"" + too_long + "\" is too long for -f\n");
  EXPECT_EQ(refused.out, "");

  const ToolRun accepted = run({"--show", "-f", longest});
  EXPECT_EQ(accepted.exit_status, 0);
  EXPECT_EQ(accepted.out.rfind("error opening \"" + longest + "\"\n", 0), 0u);
}

TEST(StandardOutput, ALostOutputIsAFailure) {
  RunOptions full;
  full.stdout_path = "/dev/full";
  full.driver = simulated_driver("0,2,4,6", "2");
  const ScratchDir dir;
  write_file(dir.file("hints"), "");
  const std::vector<std::vector<std::string>> commands = {
      {"-h"}, {"--show", "-f", dir.file("hints")}, {"--sysxml"}, {"-s", "2", "--stdout", "-f", dir.file("hints")}};
  for (const auto& args : commands) {
    const ToolRun run = run_tool(args, full);
    EXPECT_NE(run.exit_status, 0) << testing::PrintToString(args);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err, "error writing standard output\n") << testing::PrintToString(args);
  }
  // The usage text is all the help run writes: its status is the error of the write.
  EXPECT_EQ(run_tool({"-h"}, full).exit_status, 28);  // ENOSPC
  EXPECT_EQ(read_file(dir.file("hints")), "");
}

}  // namespace
