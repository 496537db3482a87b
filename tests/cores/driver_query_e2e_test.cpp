// SPDX-License-Identifier: BSD-2-Clause
// The driver query seen from outside: every way the driver can fail ends the
// run with one message and exit status 254, before any output or file change.

#include "scratch_dir.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kQueryError = "error query apic-ids\n";

RunOptions with_driver(const DriverSim& sim) {
  RunOptions options;
  options.driver = sim;
  return options;
}

TEST(DriverQuery, EveryCommandButHelpNeedsTheDriver) {
  const ScratchDir dir;
  const std::string hints = dir.file("device.hints");
  write_file(hints, "hint.lapic.0.disabled=\"0\"\n");
  RunOptions no_driver;
  no_driver.driver.loaded = false;

  const std::vector<std::vector<std::string>> commands = {
      {}, {"--show"}, {"-f", hints}, {"--sysxml"}, {"-s", "1", "-f", hints}, {"-d", "-f", hints}, {"--verify", "-f", hints},
      {"-s", "1", "--stdout", "-f", hints}};
  for (const auto& args : commands) {
    const ToolRun run = run_tool(args, no_driver);
    EXPECT_EQ(run.exit_status, 254) << testing::PrintToString(args);
    EXPECT_EQ(run.err, kQueryError) << testing::PrintToString(args);
    EXPECT_EQ(run.out, "") << testing::PrintToString(args);
  }
  EXPECT_EQ(read_file(hints), "hint.lapic.0.disabled=\"0\"\n");
  EXPECT_FALSE(file_exists(hints + ".KxBak"));

  const ToolRun help = run_tool({"-h"}, no_driver);
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_NE(help.out, "");
}

TEST(DriverQuery, FaultsOfTheDriverAreOneFailure) {
  const std::vector<DriverSim> faults = {
      simulated_driver("", "", "missing"),
      simulated_driver("", "", "refuse"),
      simulated_driver("0,2,4,6", "", "overflow"),  // more ids claimed than there was room for
      simulated_driver(consecutive_ids(257)),               // 257 ids for 256 slots
  };
  for (const DriverSim& sim : faults) {
    for (const char* command : {"--show", "--sysxml"}) {
      const ToolRun run = run_tool({command}, with_driver(sim));
      EXPECT_EQ(run.exit_status, 254) << sim.fault << " " << sim.ids.size() << " " << command;
      EXPECT_EQ(run.err, kQueryError);
      EXPECT_EQ(run.out, "");
    }
  }
}

TEST(DriverQuery, ADriverWithoutCoresIsAFailure) {
  RunOptions options;
  options.environment = {{"KXPALDRV_SIM_IDS", ""}};
  const ToolRun run = run_tool({"--show"}, options);
  EXPECT_EQ(run.exit_status, 254);
  EXPECT_EQ(run.err, kQueryError);
}

TEST(DriverQuery, TheSharedCoresNowAreTheLeadingRunOfTheDriverOrder) {
  const ScratchDir dir;
  const std::string hints = dir.file("missing.hints");
  const ToolRun run = run_tool({"--show", "-f", hints}, with_driver(simulated_driver("0,2,4,6", "2")));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "error opening \"" + hints + "\"\n"
            "  CPU | LApic-ID | mode now | mode next boot\r\n"
            "----------------------------------------------\n"
            "    0 |    00    |  shared  |     shared \r\n"
            "    1 |    02    |  shared  |     shared \r\n"
            "    2 |    04    | isolated |    isolated\r\n"
            "    3 |    06    | isolated |    isolated\r\n");
}

TEST(DriverQuery, AFullBufferOf256CoresIsAccepted) {
  const ScratchDir dir;
  const ToolRun run = run_tool({"--show", "-f", dir.file("none")},
                               with_driver(simulated_driver(consecutive_ids(256), "1")));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find("  255 |    ff    | isolated |    isolated\r\n"), std::string::npos);
  EXPECT_NE(run.out.find("    0 |    00    |  shared  |     shared \r\n"), std::string::npos);
}

}  // namespace
