// SPDX-License-Identifier: BSD-2-Clause
#include "hints/hint_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "filter_harness.h"
#include "worked_example.h"

namespace {

using hints_test::filter_text;
using hints_test::make_table;

using worked_example::kInput;

/// The edit pass over `input` for cores 0, 2, 4, 6 with two shared next.
std::string edit(const std::string& input, std::uint32_t flags) {
  CoreTablePtr table = make_table({0, 2, 4, 6}, 4, 2, flags);
  EditPass pass(*table);
  const auto run = filter_text(input, &pass);
  EXPECT_EQ(run.status, 0);
  return run.output;
}

/// The edit pass, counting its final-pass calls.
struct CountingEdit final : LineHandler {
  explicit CountingEdit(CoreTable& table) : pass(table) {}
  int read_line(LineBuffer& line) override { return pass.rewrite_hint_line(line); }
  int final_line(LineBuffer& line) override {
    ++final_pass_calls;
    return pass.emit_pending_hint(line);
  }
  EditPass pass;
  int final_pass_calls = 0;
};

TEST(HintRules, WorkedExampleWithStripFlatAndClockHints) {
  CoreTablePtr table = make_table({0, 2, 4, 6}, 4, 2, Strip | Flat | WriteClockHint);
  CountingEdit counting(*table);
  const auto run = filter_text(kInput, &counting);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, worked_example::kWithEveryModifier);
  EXPECT_EQ(counting.final_pass_calls, 7);
}

TEST(HintRules, WorkedExampleWithoutModifiers) {
  EXPECT_EQ(edit(kInput, 0), worked_example::kWithoutModifiers);
}

TEST(HintRules, EmptyFileGetsEveryLineInOrder) {
  EXPECT_EQ(edit("", Flat | WriteClockHint),
            "hint.apic.0.clock=\"0\"\nhint.apic.2.clock=\"0\"\n"
            "hint.apic.4.clock=\"0\"\nhint.apic.6.clock=\"0\"\n"
            "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n"
            "kern.smp.topology=\"2\"\n");
}

struct RecognitionCase {
  const char* line;
  HintKind kind;
  std::int32_t id;
  bool in_range;
};

TEST(HintRules, LinesAreRecognisedByTheWholeForm) {
  const RecognitionCase cases[] = {
      {"hint.lapic.2.disabled=\"1\"\n", HintKind::Disable, 2, true},
      {"hint.lapic. +2.disabled = = 1", HintKind::Disable, 2, true},
      {"hint.lapic.03.disabled=1", HintKind::Disable, 3, true},
      {"hint.lapic.0000000000000000000002.disabled=1", HintKind::Disable, 2, true},
      {"hint.lapic.-2147483648.disabled=1", HintKind::Disable, -2147483647 - 1, true},
      {"hint.lapic.2147483648.disabled=1", HintKind::Disable, 0, false},
      {"hint.lapic.-2147483649.disabled=1", HintKind::Disable, 0, false},
      {"hint.lapic.99999999999999999999999.disabled=1", HintKind::Disable, 0, false},
      {"hint.apic.1000.clock=1", HintKind::Clock, 1000, true},
      {"hint.lapic.1234567.disabled=1", HintKind::Disable, 1234567, true},
      {"hint.lapic.12345678.disabled=1", HintKind::Disable, 12345678, true},
      {"hint.lapic.123456789.disabled=1", HintKind::Disable, 123456789, true},
      {"hint.apic.2147483647.clock=1", HintKind::Clock, 2147483647, true},
      {"hint.apic.255.clock==  x", HintKind::Clock, 255, true},
      {"hint.apic.0.clock=\t0", HintKind::Clock, 0, true},
      {"kern.smp.topology \"1\"", HintKind::Topology, 0, false},
      // The loader's forms: white space first, tabs around "=", leading zeros.
      {" hint.lapic.2.disabled=1", HintKind::Disable, 2, true},
      {"hint.lapic.2.disabled\t=1", HintKind::Disable, 2, true},
      {"\thint.apic.004.clock =\t\"1\"\t# note\r\n", HintKind::Clock, 4, true},
      {"kern.smp.topology\t=\"2\"", HintKind::Topology, 0, false},
      {"  kern.smp.topology=\"\"", HintKind::Topology, 0, false},
      // Neither form: a comment, no separator, no value, another resource of
      // the same unit, a sign alone, what the loader calls malformed.
      {"#hint.lapic.2.disabled=1", HintKind::None, 0, false},
      {"hint.lapic.2.disabled1", HintKind::None, 0, false},
      {"hint.lapic.2.disabled=\r\n", HintKind::None, 0, false},
      {"hint.lapic.0.irq=5", HintKind::None, 0, false},
      {"hint.apic.0.disabled=1", HintKind::None, 0, false},
      {"hint.lapic.-.disabled=1", HintKind::None, 0, false},
      {"\thint.lapic.2.disabled=\"1\" x", HintKind::None, 0, false},
      {" hint.lapic.2.disabled=\"1\\\"", HintKind::None, 0, false},
      {" hint.lapic.2.disabled=\"$\"", HintKind::None, 0, false},
      {" hint.lapic.2.disabled.x=1", HintKind::None, 0, false},
      {"kern.smp.topology=", HintKind::None, 0, false},
      {"hint.lapic.9:.disabled=1", HintKind::None, 0, false},
      {"hint.lapic./.disabled=1", HintKind::None, 0, false},
      {"hint.apic.1.clock=  \n", HintKind::None, 0, false},
  };
  for (const auto& c : cases) {
    // A line handed over where it lies in the input has more bytes after it:
    // they must change nothing.
    const std::string followed = std::string(c.line) + "1\nhint.apic.1.clock=1";
    EXPECT_EQ(match_hint_line(followed.data(), std::strlen(c.line)).kind, c.kind) << c.line;
    const HintMatch match = match_hint_line(c.line);
    EXPECT_EQ(match.kind, c.kind) << c.line;
    if (c.kind == HintKind::Clock || c.kind == HintKind::Disable) {
      EXPECT_EQ(match.id_in_range, c.in_range) << c.line;
      if (c.in_range) {
        EXPECT_EQ(match.id, c.id) << c.line;
      }
    }
  }
}

TEST(HintRules, RewrittenLinesEndInALineFeedAndUnchangedOnesKeepTheirEnd) {
  EXPECT_EQ(edit("# a\r\nhint.lapic.02.disabled=1\r\nhint.lapic.0.disabled=\"0\"\n"
                 "hint.lapic.4.disabled=0\nhint.lapic.6.disabled=0\n",
                 0),
            "# a\r\nhint.lapic.2.disabled=\"0\"\nhint.lapic.0.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n");
}

TEST(HintRules, OtherSettingsOfTheSameUnitPassAndDoNotCountAsHints) {
  // The irq line neither stands in for core 0's disable hint nor is dropped as
  // a repeat after it.
  EXPECT_EQ(edit("hint.lapic.0.irq=5\nhint.apic.0.disabled=1\nhint.lapic.0.disabled=0\n"
                 "hint.lapic.0.irq=6\nhint.lapic.2.disabled\t1\n",
                 0),
            "hint.lapic.0.irq=5\nhint.apic.0.disabled=1\nhint.lapic.0.disabled=\"0\"\n"
            "hint.lapic.0.irq=6\nhint.lapic.2.disabled\t1\n"
            "hint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n"
            "hint.lapic.6.disabled=\"1\"\n");
}

TEST(HintRules, OutOfRangeIdsAreStray) {
  // 4294967296 would be core 0 if the id were cut to 32 bits.
  const std::string input =
      "hint.lapic.4294967296.disabled=1\nhint.apic.4294967296.clock=1\n";
  const std::string appended =
      "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
      "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n";
  EXPECT_EQ(edit(input, 0), input + appended);
  EXPECT_EQ(edit(input, Strip), appended);
}

TEST(HintRules, ClockHintsWithoutWriteClockHint) {
  // The first passes unchanged, a second for the same core goes, none is added.
  EXPECT_EQ(edit("hint.apic.2.clock=1\nhint.apic.2.clock=0\nhint.apic.77.clock=1\n", 0),
            "hint.apic.2.clock=1\nhint.apic.77.clock=1\n"
            "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n");
}

TEST(HintRules, TopologyLines) {
  const std::string disables =
      "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
      "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n";
  // With Flat one topology line stays: the loader keeps a name's last value.
  EXPECT_EQ(edit("kern.smp.topology=1\nkern.smp.topology=3\n\tkern.smp.topology = 1\n", Flat),
            "kern.smp.topology=\"2\"\n" + disables);
  EXPECT_EQ(edit("kern.smp.topology\t=1\nkern.smp.topology=\n", Flat),
            "kern.smp.topology=\"2\"\nkern.smp.topology=\n" + disables);
  EXPECT_EQ(edit("kern.smp.topology=\nkern.smp.topology\tx\n", Flat),
            "kern.smp.topology=\nkern.smp.topology\tx\n" + disables + "kern.smp.topology=\"2\"\n");
  EXPECT_EQ(edit("kern.smp.topology=1\nkern.smp.topology=3\n", 0),
            "kern.smp.topology=1\nkern.smp.topology=3\n" + disables);
  EXPECT_EQ(edit("kern.smp.topology=1\n", 0), "kern.smp.topology=1\n" + disables);
}

TEST(HintRules, OnlyAPieceThatBeginsALineIsAHint) {
  // What the final pass appends when core 4 has its line, and when it has none.
  const std::string others =
      "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\nhint.lapic.6.disabled=\"1\"\n";
  const std::string all =
      "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
      "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n";
  const std::string four = "hint.lapic.4.disabled=\"1\"\n";
  const std::string comment = "#" + std::string(2046, ' ') + "hint.lapic.4.disabled=\"0\"\n";
  const std::string padded_hint = "hint.lapic.4.disabled=\"0\"" + std::string(2022, ' ');
  ASSERT_EQ(padded_hint.size(), 2047u);
  const std::string long_clock = "hint.apic.4.clock=1 #" + std::string(3000, '-') + "\n";
  const struct {
    const char* what;
    std::string input;
    std::uint32_t flags;
    std::string output;
  } cases[] = {
      {"a hint in a comment's second piece is comment text",
       comment + "hint.lapic.4.disabled=\"0\"\n", 0, comment + four + others},
      {"a rewritten long hint becomes one line", padded_hint + std::string(3000, ' ') + "# x\n", 0,
       four + others},
      {"a 2047-byte hint and its lone line feed are one line", padded_hint + "\n", 0,
       four + others},
      {"a dropped long hint goes whole", "hint.lapic.9.disabled=1" + std::string(3000, ' ') + "\n",
       Strip, all},
      {"a long hint passed unchanged stays whole", long_clock, 0, long_clock + all},
      {"a long unended last line is ended before the appended lines", long_clock.substr(0, 3000),
       0, long_clock.substr(0, 3000) + "\n" + all},
      {"a hint followed by another word past the first piece is no hint",
       padded_hint + std::string(3000, ' ') + "x\n", 0,
       padded_hint + std::string(3000, ' ') + "x\n" + all},
      {"a hint indented past the first piece is one", std::string(2100, ' ') + four, 0,
       four + others},
      {"a line longer than memory holds passes whole, read again",
       "# " + std::string(100000, 'c') + "\n" + four, 0,
       "# " + std::string(100000, 'c') + "\n" + four + others},
  };
  for (const auto& c : cases) EXPECT_EQ(edit(c.input, c.flags), c.output) << c.what;
}

TEST(HintRules, LastLineWithoutLineFeedIsEndedBeforeAppendedLines) {
  EXPECT_EQ(edit("# end", 0),
            "# end\nhint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
            "hint.lapic.4.disabled=\"1\"\nhint.lapic.6.disabled=\"1\"\n");
  const std::string complete =
      "hint.lapic.0.disabled=\"0\"\nhint.lapic.2.disabled=\"0\"\n"
      "hint.lapic.4.disabled=\"1\"\n";
  EXPECT_EQ(edit(complete + "hint.lapic.6.disabled=\"1\"", 0),
            complete + "hint.lapic.6.disabled=\"1\"\n");
  EXPECT_EQ(edit(complete + "hint.lapic.6.disabled=\"1\"\n# end", 0),
            complete + "hint.lapic.6.disabled=\"1\"\n# end");
}

TEST(HintRules, IdsCompareAsThirtyTwoBitValues) {
  CoreTablePtr table = make_table({0xFFFFFFFFu, 5}, 2, 1);
  EditPass pass(*table);
  const auto run = filter_text("hint.lapic.-1.disabled=1\nhint.lapic.5.disabled=0\n", &pass);
  EXPECT_EQ(run.output, "hint.lapic.-1.disabled=\"0\"\nhint.lapic.5.disabled=\"1\"\n");
}

TEST(HintRules, EachApicIdGetsOneHintWhoseValueIsItsFirstCores) {
  // The driver repeats ids 2 and 0; the later entries are isolated, yet no
  // line may withhold the first core or override core 1's value.
  CoreTablePtr table = make_table({0, 2, 2, 4, 0}, 5, 2, WriteClockHint);
  EditPass pass(*table);
  EXPECT_EQ(filter_text("hint.lapic.0.disabled=\"1\"\n", &pass).output,
            "hint.lapic.0.disabled=\"0\"\nhint.apic.0.clock=\"0\"\nhint.apic.2.clock=\"0\"\n"
            "hint.apic.4.clock=\"0\"\nhint.lapic.2.disabled=\"0\"\nhint.lapic.4.disabled=\"1\"\n");
}

}  // namespace
