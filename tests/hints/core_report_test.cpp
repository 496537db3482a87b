// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "filter_harness.h"
#include "scratch_dir.h"

namespace {

using hints_test::make_table;
using namespace std::string_literals;

const std::string kHeader =
    "  CPU | LApic-ID | mode now | mode next boot\r\n"
    "----------------------------------------------\n";

std::string report_for(CoreTable& table, const std::string& hints_path) {
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(print_core_mode_report(table, hints_path.c_str()), 0);
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
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

TEST(CoreReport, RowsOfManyCoresGoOutWholeAndInOrder) {
  // More rows than one write takes; ids of two hex digits and wider, the
  // widest among them, at CPU numbers of one to three digits.
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < 300; ++i) ids.push_back(i == 150 ? 0xFFFFFFFFu : i % 2 == 0 ? i * 7 % 256 : i * 7);
  CoreTablePtr table = make_table(ids, 2, 3);
  std::string expected = kHeader;
  for (std::uint32_t i = 0; i < ids.size(); ++i) {
    char row[80];
    std::snprintf(row, sizeof row, "  %3d |    %02x    | %s |    %s\r\n", static_cast<int>(i), ids[i],
                  i < 2 ? " shared " : "isolated", i < 3 ? " shared " : "isolated");
    expected += row;
  }
  ::testing::internal::CaptureStdout();
  print_core_modes(*table);
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
}

TEST(CoreReport, MissingHintsFileIsNamedAndTheReportStillFollows) {
  const ScratchDir dir;
  CoreTablePtr table = make_table({0, 16}, 1, 1);
  EXPECT_EQ(report_for(*table, dir.file("missing")),
            "error opening \"" + dir.file("missing") + "\"\n" + kHeader +
                "    0 |    00    |  shared  |     shared \r\n"
                "    1 |    10    | isolated |    isolated\r\n");
}

TEST(CoreReport, TheKernelsNumberDecides) {
  for (const char* value : {"1", "2", "0x1", "0X1f", "01", "-1", "+1", " \t1", "4294967297",
                            "99999999999999999999999", "0x10000000000000001"})
    EXPECT_TRUE(is_disabled_value(value)) << value;
  for (const char* value : {"0", "00", "0x0", "-0", "yes", "true", "08", "0x", "-", "", "  ",
                            "1 ", "\"1\"", "1;", "4294967296", "0x100000000"})
    EXPECT_FALSE(is_disabled_value(value)) << value;
}

TEST(CoreReport, DisableHintsAreReadAsTheLoaderAndTheKernelReadThem) {
  const std::vector<std::uint32_t> ids{0, 2, 4, 16};
  const struct {
    const char* what;
    std::uint32_t shared_now;
    std::string hints;
    const char* split;
  } cases[] = {
      {"quoted, bare, indented, tabs around =, a comment", 4,
       "hint.lapic.2.disabled=\"1\"\n\thint.lapic.4.disabled = 2\n"
       "  hint.lapic.16.disabled\t=\t\"0x1\"  # withheld\r\n",
       "SIII"},
      {"what the loader calls malformed sets nothing", 4,
       "hint.lapic.2.disabled=\"1\";\nhint.lapic.4.disabled 1\nhint.lapic.16.disabled=\n"
       "hint.lapic.16.disabled=1 1\n",
       "SSSS"},
      {"not a number, or zero, keeps a core", 0,
       "hint.lapic.2.disabled=true\nhint.lapic.4.disabled=08\nhint.lapic.16.disabled=\"1 \"\n",
       "SSSS"},
      {"a blank value is no hint: the mode now stays", 2,
       "hint.lapic.4.disabled=\"\"\nhint.lapic.16.disabled=\" \"\n", "SSII"},
      {"the last value of a name wins", 4,
       "hint.lapic.2.disabled=1\nhint.lapic.2.disabled=0\n"
       "hint.lapic.4.disabled=0\n hint.lapic.4.disabled=1\n",
       "SSIS"},
      {"of two spellings the first by strcmp, if not blank", 4,
       "hint.lapic.2.disabled=1\nhint.lapic.02.disabled=0\n"
       "hint.lapic.004.disabled=1\nhint.lapic.04.disabled=0\n"
       "hint.lapic.016.disabled=\"\"\nhint.lapic.16.disabled=1\n",
       "SSII"},
      {"the boot processor is never withheld", 4, "hint.lapic.0.disabled=1\n", "SSSS"},
      {"escapes and expansions are the loader's", 4,
       "hint.lapic.2.disabled=\"\\1\"\nhint.lapic.4.disabled=\"${none}1\"\n"
       "hint.lapic.16.disabled=\"1\\\"\n",
       "SIIS"},
      {"an id beyond \"%d\" names no core, not core 0", 4,
       "hint.lapic.4294967296.disabled=1\n", "SSSS"},
      {"a name set earlier in the file expands, one set nowhere is empty", 4,
       "on=1\nhint.lapic.2.disabled=\"$on\"\nhint.lapic.4.disabled=\"${on}${off}\"\n"
       "hint.lapic.16.disabled=\"$off\"\noff=1\n",
       "SIIS"},
      {"the kernel gets a value up to its first NUL byte", 0,
       "hint.lapic.2.disabled=\"1\0x\"\nhint.lapic.4.disabled=\"\0\"\n"
       "hint.lapic.16.disabled=\"\0 1\"\n"s,
       "SIII"},
  };
  for (const auto& c : cases) {
    CoreTablePtr table = make_table(ids, c.shared_now, c.shared_now);
    hints_test::Stream in = hints_test::stream_holding(c.hints);
    EXPECT_EQ(read_next_boot_modes(in.get(), *table), 0) << c.what;
    std::string split;
    for (std::uint32_t i = 0; i < table->cpu_count; ++i)
      split += table->entries[i].shared_next ? 'S' : 'I';
    EXPECT_EQ(split, c.split) << c.what;
  }
}

TEST(CoreReport, EveryRowWithTheBootProcessorsApicIdIsShared) {
  CoreTablePtr table = make_table({6, 6, 2}, 3, 3);
  hints_test::Stream in = hints_test::stream_holding("hint.lapic.6.disabled=1\nhint.lapic.2.disabled=1\n");
  EXPECT_EQ(read_next_boot_modes(in.get(), *table), 0);
  EXPECT_EQ(table->entries[1].shared_next, 1);
  EXPECT_EQ(table->entries[2].shared_next, 0);
}

TEST(CoreReport, ALongHintLineCountsWhenTheLoaderReadsItWhole) {
  const std::vector<std::uint32_t> ids{0, 2};
  const std::string hint = "hint.lapic.2.disabled=1";
  const std::string pad(3000, ' ');
  const struct {
    std::string hints;
    const char* split;
  } cases[] = {
      {hint + pad + "\n", "SI"},
      {hint + pad + "# long comment\n", "SI"},
      {hint + "  #" + std::string(5000, 'x') + "\n", "SI"},
      {hint + pad + "#" + std::string(5000, 'x') + "\n", "SI"},
      {hint + pad, "SI"},
      {hint + pad + "x\n", "SS"},
      // A bare value that fills the first piece goes on: the loader reads it whole.
      {hint + std::string(2047 - hint.size(), '1') + "\n", "SI"},
      {hint + std::string(5000, '1'), "SI"},
      {std::string(2100, '\t') + hint + "\n", "SI"},
      {"hint.lapic.2.disabled=" + std::string(3000, '0') + "\n", "SS"},
  };
  for (const auto& c : cases) {
    CoreTablePtr table = make_table(ids, 2, 2);
    hints_test::Stream in = hints_test::stream_holding(c.hints);
    EXPECT_EQ(read_next_boot_modes(in.get(), *table), 0);
    std::string split;
    for (std::uint32_t i = 0; i < table->cpu_count; ++i)
      split += table->entries[i].shared_next ? 'S' : 'I';
    EXPECT_EQ(split, c.split) << c.hints.size() << " bytes, ending " << c.hints.substr(c.hints.size() - 20);
  }
}

}  // namespace
