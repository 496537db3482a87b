// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/attribute_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "stdout_capture.h"

namespace {

std::string text_line(const char* name, const std::string& value) {
  return capture_stdout([&] { write_text_attribute(name, value.c_str()); });
}

TEST(AttributeWriterTest, EscapesTheFiveEntitiesAndNothingElse) {
  EXPECT_EQ(text_line("A", "A&B<C>"), "\tA=\"A&amp;B&lt;C&gt;\"\r\n");
  EXPECT_EQ(text_line("A", "say \"hi\" it's"), "\tA=\"say &quot;hi&quot; it&apos;s\"\r\n");
  EXPECT_EQ(text_line("A", ""), "\tA=\"\"\r\n");
  // The name is written verbatim, never escaped.
  EXPECT_EQ(text_line("N&<", "x"), "\tN&<=\"x\"\r\n");

  // Every other byte, tabs, line ends, control bytes and UTF-8 included, passes unchanged.
  const std::string escaped = "\"&'<>";
  for (int byte = 1; byte < 256; ++byte) {
    const std::string value(1, static_cast<char>(byte));
    if (escaped.find(value) == std::string::npos) {
      EXPECT_EQ(text_line("B", value), "\tB=\"" + value + "\"\r\n") << "byte " << byte;
    }
  }
}

TEST(AttributeWriterTest, WritesNumbersInPlainDecimal) {
  const auto number_line = [](std::int64_t value) {
    return capture_stdout([&] { write_number_attribute("N", value); });
  };
  EXPECT_EQ(number_line(0), text_line("N", "0"));
  EXPECT_EQ(number_line(16777216), "\tN=\"16777216\"\r\n");
  EXPECT_EQ(number_line(-42), "\tN=\"-42\"\r\n");
  EXPECT_EQ(number_line(INT64_MAX), "\tN=\"9223372036854775807\"\r\n");
}

}  // namespace
