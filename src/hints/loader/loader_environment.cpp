// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/loader_environment.h"

#include <string>

void LoaderEnvironment::set(std::string_view name, const LoaderValue& value) {
  const auto found = values.find(name);
  if (found != values.end()) {
    found->second = value;
  } else {
    values.emplace(std::string(name), value);
  }
}

const LoaderValue* LoaderEnvironment::find(std::string_view name) const {
  const auto found = values.find(name);
  return found == values.end() ? nullptr : &found->second;
}
