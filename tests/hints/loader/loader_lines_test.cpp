// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/loader_lines.h"

#include <gtest/gtest.h>

#include <string>

#include "hints/loader/kernel_number.h"

namespace {

using namespace std::string_literals;

struct Judged {
  LoaderLineKind kind;
  std::string name;
  std::string value;
  bool cut;
  KernelNumber number;
  bool operator==(const Judged&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Judged& j) {
  return out << static_cast<int>(j.kind) << " [" << j.name << "] [" << j.value.substr(0, 40)
             << "] cut=" << j.cut << " number=" << static_cast<int>(j.number);
}

/// The line fed in pieces of `piece` bytes (0: whole).
Judged judge(const std::string& line, const LoaderEnvironment& environment, std::size_t piece) {
  LoaderLineReader reader(&environment);
  for (std::size_t at = 0; at < line.size(); at += piece == 0 ? line.size() : piece)
    reader.feed(std::string_view(line).substr(at, piece == 0 ? line.size() : piece));
  const LoaderLine& got = reader.finish();
  return {got.kind, got.name, got.value.text, got.value.cut, got.value.kernel_number()};
}

TEST(LoaderLines, AWholeLineIsJudgedAlikeInAnyPieces) {
  LoaderEnvironment environment;
  LoaderValue one;
  one.text = "1";
  one.number.feed('1');
  environment.set("one", one);
  LoaderValue ones;  // longer than what is kept of a value
  ones.text = std::string(kMaxHeldValue, '1');
  ones.cut = true;
  ones.number.feed(std::string(kMaxHeldValue + 9, '1'));
  environment.set("ones", ones);

  constexpr auto S = LoaderLineKind::Setting;
  constexpr auto M = LoaderLineKind::Malformed;
  constexpr auto I = LoaderLineKind::Ignored;
  constexpr auto NZ = KernelNumber::NonZero, Z = KernelNumber::Zero, NaN = KernelNumber::NotANumber,
                 B = KernelNumber::Blank;
  const std::string big(kMaxHeldValue + 5, '0');
  const struct {
    std::string line;
    Judged judged;
  } cases[] = {
      {"  \t\r\n", {I, "", "", false, B}},
      {"  # a = 1\n", {I, "", "", false, B}},
      {"a=\"x y\"  # c\r\n", {S, "a", "x y", false, NaN}},
      {"\ta\t=\t-1x_.\n", {S, "a", "-1x_.", false, NaN}},
      {"a=b#c", {S, "a", "b", false, NaN}},
      {"a=\"b\" c\n", {M, "a", "b", false, NaN}},
      {"a=\"b\n", {M, "a", "b\n", false, NaN}},
      {"a=b c\n", {M, "a", "b", false, NaN}},
      {"-a=1\n", {M, "-a", "", false, B}},
      {"-a_load=\"yes\\n\"\n", {S, "-a_load", "YES\\N", false, NaN}},
      {"geom_mirror_load=\"yes\"\n", {S, "geom_mirror_load", "YES", false, NaN}},
      {"geom_mirror_loads=\"yes\"\n", {S, "geom_mirror_loads", "yes", false, NaN}},
      {"exec=\"echo $\"\n", {LoaderLineKind::Command, "exec", "", false, B}},
      {"exec=word\n", {S, "exec", "word", false, NaN}},
      {"a=\"\\$one\\\\x\"\n", {S, "a", "$one\\x", false, NaN}},
      {"a=\"\\\"\"\n", {M, "a", "", false, B}},
      {"a=\"$one${one}$none ${one}x\"\n", {S, "a", "11 1x", false, NaN}},
      {"a=\"$one.x\"\n", {S, "a", "", false, B}},
      {"a=\" $ones\"\n", {S, "a", (" " + ones.text).substr(0, kMaxHeldValue), true, NZ}},
      {"a=\"x$ones\"\n", {S, "a", "x" + ones.text.substr(1), true, NaN}},
      {"a=\"$\"\n", {M, "a", "", false, B}},
      {"a=\"${}\"\n", {M, "a", "", false, B}},
      {"a=\"${one\"\n", {M, "a", "", false, B}},
      {"a=\"x\\\"\n", {M, "a", "x", false, NaN}},
      {"a=\"1\0 2\"\n"s, {S, "a", "1", false, NZ}},
      {"a=" + big + "\n", {S, "a", big.substr(0, kMaxHeldValue), true, Z}},
      {"a=" + big + "1 x\n", {M, "a", big.substr(0, kMaxHeldValue), true, NZ}},
      {std::string(kMaxHeldName + 1, 'n') + "=1\n", {S, "", "1", false, NZ}},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{2047}})
      EXPECT_EQ(judge(c.line, environment, piece), c.judged) << c.line.substr(0, 60) << " in pieces of " << piece;
  }
}

TEST(LoaderLines, ExpansionsDrawOnOneBudgetAndMarkTheValuesABoundMadeInexact) {
  LoaderEnvironment environment;
  LoaderValue one;
  one.text = "1";
  one.number.feed('1');
  environment.set("one", one);
  LoaderValue ones;
  ones.text = std::string(kMaxHeldValue, '1');
  ones.cut = true;
  ones.number.feed(std::string(kMaxHeldValue + 9, '1'));
  environment.set("ones", ones);

  constexpr auto NZ = KernelNumber::NonZero, NaN = KernelNumber::NotANumber;
  constexpr auto None = ValueBound::None;
  ExpansionBudget budget;
  budget.left = 2 * kMaxHeldValue + 3;
  LoaderLineReader reader(&environment, &budget);
  // In turn, on one budget: long values whole from the start are exact, after
  // other text not; after a NUL byte nothing is expanded or drawn; the line
  // that finds the budget short is marked, and those after it are inexact.
  const struct {
    std::string line;
    std::string value;
    bool cut;
    KernelNumber number;
    ValueBound bound;
    std::size_t left;
  } lines[] = {
      {"a=\"$one$one\"\n", "11", false, NZ, None, 2 * kMaxHeldValue + 1},
      {"a=\" $ones\"\n", (" " + ones.text).substr(0, kMaxHeldValue), true, NZ, None, kMaxHeldValue + 1},
      {"a=\"1$ones\"\n", ("1" + ones.text).substr(0, kMaxHeldValue), true, NaN, ValueBound::CutAfterText, 1},
      {"a=\"2\0$ones\"\n"s, "2", false, NZ, None, 1},
      {"a=\"$one$one\"\n", "1", true, NaN, ValueBound::BudgetSpent, 0},
      {"a=\"$one\"\n", "", true, NaN, None, 0},
      {"a=\"$none\"\n", "", false, KernelNumber::Blank, None, 0},
  };
  for (const auto& l : lines) {
    reader.feed(l.line);
    const LoaderLine& got = reader.finish();
    EXPECT_EQ(got.value.text, l.value) << l.line.substr(0, 20);
    EXPECT_EQ(got.value.cut, l.cut) << l.line.substr(0, 20);
    EXPECT_EQ(got.value.kernel_number(), l.number) << l.line.substr(0, 20);
    EXPECT_EQ(got.bound, l.bound) << l.line.substr(0, 20);
    EXPECT_EQ(budget.left, l.left) << l.line.substr(0, 20);
  }
}

}  // namespace
