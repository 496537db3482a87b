// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <string>
#include <utility>
#include <vector>

/// How the driver stand-in answers in one run of the tool.
struct DriverSim {
  bool loaded = true;   // false: the tool runs without the stand-in (no driver)
  std::string ids;      // KXPALDRV_SIM_IDS, e.g. "0,2,4,6"; empty: this machine's cores
  std::string shared;   // KXPALDRV_SIM_SHARED, e.g. "2"; empty: all shared now
  std::string fault;    // KXPALDRV_SIM_FAULT: "missing", "refuse" or "overflow"
};

/// The stand-in reporting `ids`, the first `shared` of them shared now, with an optional fault.
inline DriverSim simulated_driver(std::string ids, std::string shared = {}, std::string fault = {}) {
  DriverSim sim;
  sim.ids = std::move(ids);
  sim.shared = std::move(shared);
  sim.fault = std::move(fault);
  return sim;
}

/// The APIC ids 0 to count - 1 as the stand-in reads them: "0,1,2,...".
inline std::string consecutive_ids(int count) {
  std::string list;
  for (int id = 0; id < count; ++id) {
    if (id != 0) list += ',';
    list += std::to_string(id);
  }
  return list;
}

struct RunOptions {
  DriverSim driver;
  std::string stdout_path;            // non-empty: standard output goes to this file (e.g. /dev/full)
  std::vector<std::string> prefix;    // run through this command first (e.g. setpriv ...)
  std::vector<std::pair<std::string, std::string>> environment;  // extra variables
  std::vector<std::string> preload;   // further libraries to preload after the stand-in
  int send_signal = 0;                // non-zero: sent to the run signal_delay_us after its start
  int signal_delay_us = 0;
};

/// What one run of the tool left behind.
struct ToolRun {
  int exit_status = -1;  // 0..255 for a normal exit; -1 when killed by a signal
  int signal = 0;        // the signal that killed it, if any
  std::string out;       // standard output, byte for byte (empty when redirected)
  std::string err;       // standard error, byte for byte
};

/// Runs the freshly built binary with `args` (not counting argv[0]). When the
/// variable RIDIDEZUVE_TEST_WRAPPER is set, its words run the binary (for
/// example valgrind with its options).
ToolRun run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

/// Path of the binary under test and of the driver stand-in library.
const char* tool_binary_path();
const char* driver_sim_library_path();
