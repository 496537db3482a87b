// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <functional>
#include <map>
#include <string>

/// The boot loader's environment as a reading pass collects it: one value
/// per name, the last one set wins, kept in strcmp order (the order in which
/// the kernel walks it).
struct LoaderEnvironment {
  std::map<std::string, std::string, std::less<>> values;
  /// A setting whose line runs on past the first piece the filter hands
  /// over: it counts once the rest of the line shows that the loader reads it.
  struct {
    bool waiting = false;
    std::string name;
    std::string value;
  } pending;
};
