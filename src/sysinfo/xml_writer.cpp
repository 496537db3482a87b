// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/xml_writer.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "sysinfo/cache_topology.h"
#include "sysinfo/cpu_identity.h"
#include "sysinfo/os_attributes.h"

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

// Write results are not looked at here: main checks standard output once,
// after the flush at the end of the run.
void write_system_information(const std::uint32_t* ids, std::uint32_t count) {
  std::printf("<SystemInformation\r\n");
  write_cpu_attributes();
  write_os_attributes();
  write_memory_attributes();
  write_firmware_attributes();
  write_cache_attributes(2, ids, count);
  write_cache_attributes(3, ids, count);
  std::printf("\tGraphicsDriverVersion=\"Unknown\"\r\n");
  std::printf("/>\r\n");
}
