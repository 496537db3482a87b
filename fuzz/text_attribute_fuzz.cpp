// SPDX-License-Identifier: BSD-2-Clause
// The text attribute writer with any value: the line has its fixed frame,
// carries none of the five raw characters, and unescapes to the value.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "sysinfo/attribute_writer.h"

namespace {

constexpr std::array<const char*, 4> kNames{"CpuString", "BIOSVersion", "BoardInfo", "Hostname"};

struct Entity {
  std::string_view text;
  char byte;
};

constexpr std::array<Entity, 5> kEntities{{
    {"&quot;", '"'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&lt;", '<'}, {"&gt;", '>'}}};

/// Undoes the escaping; false when an ampersand starts no known entity.
bool unescape(std::string_view escaped, std::string& plain) {
  while (!escaped.empty()) {
    if (escaped.front() != '&') {
      plain += escaped.front();
      escaped.remove_prefix(1);
      continue;
    }
    bool known = false;
    for (const Entity& entity : kEntities) {
      if (escaped.starts_with(entity.text)) {
        plain += entity.byte;
        escaped.remove_prefix(entity.text.size());
        known = true;
        break;
      }
    }
    if (!known) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in({data, size});
  const char* name = kNames[in.byte() % kNames.size()];
  const std::span<const std::uint8_t> rest = in.rest();
  const std::string value(rest.begin(), rest.end());  // c_str() ends it at the first NUL

  const std::string line = capture_stdout([&] { write_text_attribute(name, value.c_str()); });

  const std::string head = std::string("\t") + name + "=\"";
  constexpr std::string_view kTail = "\"\r\n";
  FUZZ_CHECK(line.starts_with(head));
  FUZZ_CHECK(line.size() >= head.size() + kTail.size() && line.ends_with(kTail));
  const std::string_view escaped =
      std::string_view(line).substr(head.size(), line.size() - head.size() - kTail.size());
  FUZZ_CHECK(escaped.find_first_of(std::string_view("\"'<>\0", 5)) == std::string_view::npos);

  std::string plain;
  FUZZ_CHECK(unescape(escaped, plain));
  FUZZ_CHECK(plain == std::string_view(value.c_str()));
  return 0;
}
