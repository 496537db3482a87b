// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/loader_environment.h"

#include <string>

void LoaderEnvironment::set(std::string_view name, const LoaderValue& value) {
  // One walk of the tree finds the name or where it goes.
  const auto place = values.lower_bound(name);
  if (place != values.end() && place->first == name) {
    place->second = value;
  } else {
    values.emplace_hint(place, std::string(name), value);
  }
}

const LoaderValue* LoaderEnvironment::find(std::string_view name) const {
  const auto found = values.find(name);
  return found == values.end() ? nullptr : &found->second;
}
