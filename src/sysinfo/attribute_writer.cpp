// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/attribute_writer.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// The report's consumers expect "%ld"; long is 64 bits on every target we build for.
static_assert(sizeof(long) == sizeof(std::int64_t));

struct XmlEscape {
  char byte;
  const char* entity;
};

// Only these five bytes are escaped; control bytes and bytes above 0x7F pass
// through as they are, which the report's readers rely on.
constexpr std::array<XmlEscape, 5> kXmlEscapes{{
    {'"', "&quot;"},
    {'&', "&amp;"},
    {'\'', "&apos;"},
    {'<', "&lt;"},
    {'>', "&gt;"},
}};

const char* entity_for(char byte) {
  for (const XmlEscape& escape : kXmlEscapes) {
    if (escape.byte == byte) {
      return escape.entity;
    }
  }
  return nullptr;
}

}  // namespace

void write_text_attribute(const char* name, const char* value) {
  std::printf("\t%s=\"", name);
  const std::size_t length = std::strlen(value);
  for (std::size_t i = 0; i < length; ++i) {
    const char* entity = entity_for(value[i]);
    if (entity != nullptr) {
      std::fputs(entity, stdout);
    } else {
      std::putchar(static_cast<unsigned char>(value[i]));
    }
  }
  std::printf("\"\r\n");
}

void write_number_attribute(const char* name, std::int64_t value) {
  std::printf("\t%s=\"%ld\"\r\n", name, static_cast<long>(value));
}
