// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "hints/loader/loader_environment.h"

/// The boot loader's reading of a configuration or hints file, one whole
/// physical line at a time, whatever its length. The edit pass, the core
/// mode report and --verify all read lines through here, so that what the
/// tool counts as a setting is what the next boot counts.

enum class LoaderLineKind {
  Ignored,    // empty, white space, or a comment
  Setting,    // sets the variable `name`
  Command,    // exec="...": a loader command; sets nothing
  Malformed,  // the loader skips it (a "Malformed line" or a value it refuses)
};

/// The most bytes $name expansions copy over one reading of the boot
/// configuration: without it, each line of a="${a}x" would copy all that a
/// holds, so that the reading took time growing with the square of its lines.
inline constexpr std::size_t kMaxExpandedBytes = std::size_t{64} * 1024 * 1024;

/// What the expansions of every reader of one reading may still copy; once
/// spent, no further $name is expanded.
struct ExpansionBudget {
  std::size_t left = kMaxExpandedBytes;
  bool spent = false;
};

/// Why the tool cannot give a value's kernel reading exactly.
enum class ValueBound : std::uint8_t {
  None,
  CutAfterText,  // a value longer than kMaxHeldValue expanded after other text
  BudgetSpent,   // this line spent the expansion budget
};

/// What the loader makes of one line.
struct LoaderLine {
  LoaderLineKind kind = LoaderLineKind::Ignored;
  std::string name;        // the variable set (empty when name_cut)
  bool name_cut = false;   // a name longer than kMaxHeldName: not kept
  LoaderValue value;       // what the loader stores, when the reader keeps values
  ValueBound bound = ValueBound::None;
};

/// Reads one line fed in pieces (line feeds, wherever they are, are white
/// space to the loader), in memory that does not grow with the line. With
/// an environment, the value is kept as the loader stores it, $name and
/// ${name} taken from there (a name it lacks reads as empty); without one,
/// the value is only checked. With a budget, expansions draw on it.
class LoaderLineReader {
 public:
  explicit LoaderLineReader(const LoaderEnvironment* environment, ExpansionBudget* budget = nullptr)
      : environment_(environment), budget_(budget) {}

  /// The next piece of the current line.
  void feed(std::string_view piece);
  /// Ends the current line and returns what the loader makes of it; the
  /// reader then starts a new line. Throws std::bad_alloc.
  const LoaderLine& finish();

 private:
  enum class State : std::uint8_t {
    Lead, Comment, Name, AfterName, AfterEquals, Quoted, Bare, Tail, TailComment, Bad,
  };
  enum class Expansion : std::uint8_t { Text, Escape, Dollar, BraceName, BareName, Failed };
  enum class ValueRule : std::uint8_t { Expanded, Raw, Upper, Command };

  void start_line();
  void take_name(std::string_view run);
  bool start_value();
  void take_value_char(char c);
  void expand_char(char c);
  void expand_variable();
  void put(char c);
  void put_text(std::string_view text);

  bool draw_on_budget(std::size_t bytes);

  const LoaderEnvironment* environment_;
  ExpansionBudget* budget_;
  bool finished_ = false;  // the next feed starts a new line
  State state_ = State::Lead;
  ValueRule rule_ = ValueRule::Expanded;
  Expansion expansion_ = Expansion::Text;
  bool quoted_ = false;
  bool value_ended_ = false;  // a NUL byte ended the C string the loader stores
  std::size_t name_length_ = 0;
  char name_first_ = '\0';
  std::array<char, 8> name_tail_{};  // the name's last bytes, a ring, for the module suffixes
  std::string variable_;  // the name after a '$'
  bool variable_cut_ = false;
  LoaderLine line_;
};

/// Reads one line given whole; see LoaderLineReader.
LoaderLine read_loader_line(std::string_view text, const LoaderEnvironment* environment = nullptr);
