// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <gtest/gtest.h>

#include <string>

#include "filter_harness.h"
#include "scratch_dir.h"

namespace {

using hints_test::make_table;

const std::string kHeader =
    "  CPU | LApic-ID | mode now | mode next boot\r\n"
    "----------------------------------------------\n";

std::string report_for(CoreTable& table, const std::string& hints_path) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(print_core_mode_report(table, hints_path.c_str()), 0);
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

/// The next-boot column after reading `hints`: "S" shared, "I" isolated per core.
std::string next_boot_after(const std::vector<std::uint32_t>& ids, std::uint32_t shared_now,
                            const std::string& hints) {
  CoreTablePtr table = make_table(ids, shared_now, shared_now);
  hints_test::Stream in = hints_test::stream_holding(hints);
  EXPECT_EQ(filter_lines(in.get(), nullptr, read_next_boot_mode, table.get()), 0);
  std::string split;
  for (std::uint32_t i = 0; i < table->cpu_count; ++i)
    split += table->entries[i].shared_next ? 'S' : 'I';
  return split;
}

TEST(CoreReport, WorkedExample) {
  const ScratchDir dir;
  write_file(dir.file("hints"),
             "hint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n"
             "hint.lapic.6.disabled=1\nhint.lapic.9.disabled=\"1\"\n");
  CoreTablePtr table = make_table({0, 2, 4, 6}, 3, 3);
  EXPECT_EQ(report_for(*table, dir.file("hints")),
            kHeader +
                "    0 |    00    |  shared  |     shared \r\n"
                "    1 |    02    |  shared  |     shared \r\n"
                "    2 |    04    |  shared  |    isolated\r\n"
                "    3 |    06    | isolated |    isolated\r\n");
}

TEST(CoreReport, MissingHintsFileIsNamedAndTheReportStillFollows) {
  const ScratchDir dir;
  CoreTablePtr table = make_table({0, 16}, 1, 1);
  EXPECT_EQ(report_for(*table, dir.file("missing")),
            "error opening \"" + dir.file("missing") + "\"\n" + kHeader +
                "    0 |    00    |  shared  |     shared \r\n"
                "    1 |    10    | isolated |    isolated\r\n");
}

TEST(CoreReport, OnlyExactlyOneDisablesACore) {
  EXPECT_TRUE(is_disabled_value("1"));
  EXPECT_TRUE(is_disabled_value("\"1\""));
  for (const char* value : {"0", "\"0\"", "\"1\";", "true", "yes", "01", "1 ", "\"1", ""})
    EXPECT_FALSE(is_disabled_value(value)) << value;
}

TEST(CoreReport, DisableHintsAreReadByTheirWholeForm) {
  const std::vector<std::uint32_t> ids{0, 2, 4, 16};
  EXPECT_EQ(next_boot_after(ids, 0, "hint.lapic.2.disabled=\"1\";\nhint.lapic.4.disabled=true\n"),
            "SSSI");
  EXPECT_EQ(next_boot_after(ids, 4, "hint.lapic.16.disabled = \"1\" # withheld\n"), "SSSI");
  EXPECT_EQ(next_boot_after(ids, 4,
                            "hint.lapic.2.disabled=\nhint.lapic.4.disabled\t=1\n"
                            " hint.lapic.16.disabled=1\nhint.lapic.0.irq=1\n"),
            "SSSS");
  EXPECT_EQ(next_boot_after(ids, 4, "hint.lapic.2.disabled=1\nhint.lapic.2.disabled=0\n"
                                    "hint.lapic.4.disabled=0\nhint.lapic.4.disabled=1\n"),
            "SSIS");
  // An id beyond "%d" names no core, not core 0.
  EXPECT_EQ(next_boot_after(ids, 4, "hint.lapic.4294967296.disabled=1\n"), "SSSS");
}

}  // namespace
