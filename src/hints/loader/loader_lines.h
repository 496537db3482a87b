// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <array>
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

/// What the loader makes of one line.
struct LoaderLine {
  LoaderLineKind kind = LoaderLineKind::Ignored;
  std::string name;        // the variable set (empty when name_cut)
  bool name_cut = false;   // a name longer than kMaxHeldName: not kept
  LoaderValue value;       // what the loader stores, when the reader keeps values
};

/// Reads one line fed in pieces (line feeds, wherever they are, are white
/// space to the loader), in memory that does not grow with the line. With
/// an environment, the value is kept as the loader stores it, $name and
/// ${name} taken from there (a name it lacks reads as empty); without one,
/// the value is only checked.
class LoaderLineReader {
 public:
  explicit LoaderLineReader(const LoaderEnvironment* environment) : environment_(environment) {}

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
  void take_name_char(char c);
  bool start_value();
  void take_value_char(char c);
  void expand_char(char c);
  void expand_variable();
  void put(char c);
  void put_text(std::string_view text);

  const LoaderEnvironment* environment_;
  bool finished_ = false;  // the next feed starts a new line
  State state_ = State::Lead;
  ValueRule rule_ = ValueRule::Expanded;
  Expansion expansion_ = Expansion::Text;
  bool quoted_ = false;
  bool value_ended_ = false;  // a NUL byte ended the C string the loader stores
  std::size_t name_length_ = 0;
  char name_first_ = '\0';
  std::array<char, 8> name_tail_{};  // the name's last bytes, for the module suffixes
  std::string variable_;  // the name after a '$'
  bool variable_cut_ = false;
  LoaderLine line_;
};

/// Reads one line given whole; see LoaderLineReader.
LoaderLine read_loader_line(std::string_view text, const LoaderEnvironment* environment = nullptr);
