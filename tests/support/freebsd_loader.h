// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// FreeBSD's own boot-loader parser, run here with lua5.4 through
// loader-check.lua: the one real reader of the hints file. Its folder is
// FREEBSD_LOADER_DIR from the environment, else the one the build was
// configured with (by default shared/freebsd-loader beside the source tree).

#include <sys/wait.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace freebsd_loader {

inline std::string folder() {
  const char* from_environment = std::getenv("FREEBSD_LOADER_DIR");
  return from_environment != nullptr && *from_environment != '\0' ? from_environment
                                                                   : FREEBSD_LOADER_DIR;
}

/// Why the parser cannot run here, in one line, or "" when it can.
inline std::string missing() {
  if (std::system("command -v lua5.4 >/dev/null 2>&1") != 0) {
    return "lua5.4 is missing (apt-get install lua5.4; scripts/install-deps does it)";
  }
  if (!file_exists(folder() + "/loader-check.lua") || !file_exists(folder() + "/config.lua")) {
    return "no FreeBSD loader parser in \"" + folder() + "\" (set FREEBSD_LOADER_DIR to its folder)";
  }
  return "";
}

/// What the loader made of the files: the variables it would hand to the
/// kernel, the kernel's reading of the hints, and the lines it rejected.
struct Reading {
  int status = -1;                       // loader-check's exit status
  std::vector<std::string> variables;    // name="value", sorted by name
  std::vector<std::string> kernel;       // "key: verdict" lines of the kernel view
  std::vector<std::string> malformed;    // the text of each line reported as malformed
  std::string err;                       // the parser's messages, whole
};

/// Runs loader-check.lua with `arguments` (paths must not hold a single quote);
/// `first_in_path`, when given, goes ahead of PATH, for commands of its own.
inline Reading read(const std::vector<std::string>& arguments, const std::string& first_in_path = "") {
  const ScratchDir capture;
  std::string command = "lua5.4 '" + folder() + "/loader-check.lua'";
  if (!first_in_path.empty()) command = "PATH='" + first_in_path + "':\"$PATH\" " + command;
  for (const std::string& argument : arguments) command += " '" + argument + "'";
  command += " >'" + capture.file("out") + "' 2>'" + capture.file("err") + "'";
  const int wait_status = std::system(command.c_str());

  Reading reading;
  reading.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  reading.err = read_file(capture.file("err"));
  std::istringstream out(read_file(capture.file("out")));
  bool in_kernel_view = false;
  for (std::string line; std::getline(out, line);) {
    if (line == "# kernel view") {
      in_kernel_view = true;
    } else {
      (in_kernel_view ? reading.kernel : reading.variables).push_back(line);
    }
  }
  // "loader: Malformed line (N):" is followed by the line itself, tab-indented
  // and in single quotes.
  std::istringstream err(reading.err);
  for (std::string line; std::getline(err, line);) {
    if (line.rfind("\t'", 0) == 0) reading.malformed.push_back(line.substr(1));
  }
  return reading;
}

}  // namespace freebsd_loader
