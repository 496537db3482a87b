// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/loader_lines.h"

#include <cstring>

namespace {

/// The character classes of the loader's patterns, in the C locale.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_name_char(char c) { return is_alnum(c) || c == '-' || c == '_' || c == '.'; }

/// Whether the kernel's reading is settled as no number, so that no byte
/// after can change it: a '0' goes on with every reading that can still be one.
bool is_settled_not_a_number(const KernelNumberReader& reading) {
  KernelNumberReader probe = reading;
  probe.feed('0');
  return probe.result() == KernelNumber::NotANumber;
}

/// Lines named <module>_load and the like are a module's settings: the loader
/// stores them as written, without escapes, a _load value upper-cased.
constexpr std::string_view kModuleSuffixes[] = {"_load",  "_name",  "_type", "_flags",
                                                "_before", "_after", "_error"};

}  // namespace

void LoaderLineReader::take_name(std::string_view run) {
  if (run.empty()) return;
  if (name_length_ == 0) name_first_ = run.front();
  // A ring: byte n of the name lands in slot n modulo its size; only the
  // run's last bytes can still be there at its end.
  const std::size_t slots = name_tail_.size();
  for (std::size_t i = run.size() > slots ? run.size() - slots : 0; i < run.size(); ++i)
    name_tail_[(name_length_ + i) % slots] = run[i];
  name_length_ += run.size();
  if (line_.name_cut) return;
  if (line_.name.size() + run.size() <= kMaxHeldName) {
    line_.name.append(run);
  } else {
    line_.name_cut = true;
    line_.name.clear();
  }
}

/// Decides, at the first byte of the value, how the loader treats it; false
/// when no pattern of the loader takes the name.
bool LoaderLineReader::start_value() {
  // The ring in the name's order, the oldest byte first.
  decltype(name_tail_) ordered{};
  for (std::size_t i = 0; i < ordered.size(); ++i)
    ordered[i] = name_tail_[(name_length_ + i) % name_tail_.size()];
  const std::string_view tail(ordered.data(), ordered.size());
  for (const std::string_view suffix : kModuleSuffixes) {
    if (name_length_ > suffix.size() && tail.ends_with(suffix)) {
      rule_ = suffix == "_load" ? ValueRule::Upper : ValueRule::Raw;
      return true;
    }
  }
  // Only the quoted form is a command; a bare word sets a variable named exec.
  if (quoted_ && name_length_ == 4 && tail.ends_with("exec")) {
    rule_ = ValueRule::Command;
    return true;
  }
  rule_ = ValueRule::Expanded;
  return is_alnum(name_first_);
}

void LoaderLineReader::put(char c) {
  LoaderValue& value = line_.value;
  if (value_ended_) return;
  if (c == '\0') {
    value_ended_ = true;
    return;
  }
  if (!value.cut && value.text.size() < kMaxHeldValue) {
    value.text.push_back(c);
  } else {
    value.cut = true;
  }
  value.number.feed(c);
}

/// An expansion's bytes at once, as put() takes them one by one: the budget
/// lets expansions copy tens of MiB, so they go at the speed of a copy.
void LoaderLineReader::put_text(std::string_view text) {
  if (value_ended_) return;
  const std::size_t nul = text.find('\0');
  LoaderValue& value = line_.value;
  const std::string_view kept = text.substr(0, nul);
  const std::size_t room = value.cut ? 0 : kMaxHeldValue - value.text.size();
  value.text.append(kept.substr(0, room));
  if (kept.size() > room) value.cut = true;
  if (!is_settled_not_a_number(value.number)) value.number.feed(kept);
  value_ended_ = nul != std::string_view::npos;
}

void LoaderLineReader::expand_variable() {
  expansion_ = Expansion::Text;
  if (environment_ == nullptr || variable_cut_) return;
  // The loader looks the name up as a C string.
  const std::string_view name(variable_.data(), strnlen(variable_.data(), variable_.size()));
  const LoaderValue* found = environment_->find(name);
  // After a NUL byte nothing more reaches the value the loader stores.
  if (found == nullptr || value_ended_) return;
  LoaderValue& value = line_.value;
  if (!draw_on_budget(found->text.size())) {
    value.cut = true;
    value.number.give_up();
    return;
  }
  if (!found->cut) {
    put_text(found->text);
    return;
  }
  // Only part of it was kept: the kernel's reading of the whole carries over
  // when nothing but white space came before it.
  const bool from_start = value.number.at_start();
  const KernelNumberReader whole = found->number;
  put_text(found->text);
  value.cut = true;
  if (from_start) {
    value.number = whole;
  } else {
    value.number.give_up();
    if (line_.bound == ValueBound::None) line_.bound = ValueBound::CutAfterText;
  }
}

/// Whether an expansion of `bytes` may be made; the line that finds the
/// budget short is marked, and no expansion is made after it.
bool LoaderLineReader::draw_on_budget(std::size_t bytes) {
  if (budget_ == nullptr || bytes == 0) return true;
  if (!budget_->spent && bytes <= budget_->left) {
    budget_->left -= bytes;
    return true;
  }
  if (!budget_->spent) line_.bound = ValueBound::BudgetSpent;
  budget_->spent = true;
  return false;
}

/// processEnvVar, a byte at a time: escapes, then $name and ${name}.
void LoaderLineReader::expand_char(char c) {
  switch (expansion_) {
    case Expansion::Text:
      if (c == '\\') {
        expansion_ = Expansion::Escape;
      } else if (c == '$') {
        expansion_ = Expansion::Dollar;
      } else if (c == '"') {
        expansion_ = Expansion::Failed;
      } else {
        put(c);
      }
      return;
    case Expansion::Escape:
      put(c);
      expansion_ = Expansion::Text;
      return;
    case Expansion::Dollar:
      variable_.clear();
      variable_cut_ = false;
      if (c == '{') {
        expansion_ = Expansion::BraceName;
      } else if (is_alnum(c)) {
        variable_.push_back(c);
        expansion_ = Expansion::BareName;
      } else {
        expansion_ = Expansion::Failed;
      }
      return;
    case Expansion::BraceName:
      if (c != '}') break;
      if (variable_.empty() && !variable_cut_) {
        expansion_ = Expansion::Failed;
      } else {
        expand_variable();
      }
      return;
    case Expansion::BareName:
      if (is_name_char(c)) break;
      expand_variable();
      expand_char(c);
      return;
    case Expansion::Failed:
      return;
  }
  if (variable_.size() < kMaxHeldName) {
    variable_.push_back(c);
  } else {
    variable_cut_ = true;
  }
}

void LoaderLineReader::take_value_char(char c) {
  switch (rule_) {
    case ValueRule::Expanded:
      expand_char(c);
      break;
    case ValueRule::Raw:
      put(c);
      break;
    case ValueRule::Upper:
      put(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
      break;
    case ValueRule::Command:
      break;
  }
}

void LoaderLineReader::feed(std::string_view piece) {
  if (finished_) start_line();
  for (std::size_t at = 0; at < piece.size(); ++at) {
    const char c = piece[at];
    switch (state_) {
      case State::Lead:
        if (is_space(c)) continue;
        if (c == '#') {
          state_ = State::Comment;
          continue;
        }
        if (!is_name_char(c)) {
          state_ = State::Bad;
          continue;
        }
        state_ = State::Name;
        [[fallthrough]];
      case State::Name: {
        // A name goes in as a run of bytes, not one by one.
        std::size_t run_end = at;
        while (run_end < piece.size() && is_name_char(piece[run_end])) ++run_end;
        take_name(piece.substr(at, run_end - at));
        at = run_end;
        if (at == piece.size()) return;
        if (piece[at] == '=') {
          state_ = State::AfterEquals;
        } else {
          state_ = is_space(piece[at]) ? State::AfterName : State::Bad;
        }
        continue;
      }
      case State::AfterName:
        if (c == '=') {
          state_ = State::AfterEquals;
        } else if (!is_space(c)) {
          state_ = State::Bad;
        }
        continue;
      case State::AfterEquals:
        if (is_space(c)) continue;
        quoted_ = c == '"';
        // A value is quoted or a bare word, and the name must take one.
        if ((!quoted_ && !is_alnum(c) && c != '-') || !start_value()) {
          state_ = State::Bad;
        } else if (quoted_) {
          state_ = State::Quoted;
        } else {
          state_ = State::Bare;
          take_value_char(c);
        }
        continue;
      case State::Quoted:
        if (c == '"') {
          state_ = State::Tail;
        } else {
          take_value_char(c);
        }
        continue;
      case State::Bare:
        if (is_name_char(c)) {
          take_value_char(c);
          continue;
        }
        [[fallthrough]];
      case State::Tail:
        if (c == '#') {
          state_ = State::TailComment;
        } else if (!is_space(c)) {
          state_ = State::Bad;
        } else {
          state_ = State::Tail;
        }
        continue;
      case State::Comment:
      case State::TailComment:
      case State::Bad:
        // Nothing further in the line can change what it is.
        return;
    }
  }
}

const LoaderLine& LoaderLineReader::finish() {
  if (finished_) start_line();
  finished_ = true;
  switch (state_) {
    case State::Lead:
    case State::Comment:
      line_.kind = LoaderLineKind::Ignored;
      return line_;
    case State::Name:
    case State::AfterName:
    case State::AfterEquals:
    case State::Quoted:
    case State::Bad:
      line_.kind = LoaderLineKind::Malformed;
      return line_;
    case State::Bare:
    case State::Tail:
    case State::TailComment:
      break;
  }
  if (rule_ == ValueRule::Command) {
    line_.kind = LoaderLineKind::Command;
    return line_;
  }
  if (rule_ == ValueRule::Expanded) {
    if (expansion_ == Expansion::BareName) expand_variable();
    // A stray escape, '$' or "${" at the end of the value.
    if (expansion_ != Expansion::Text) {
      line_.kind = LoaderLineKind::Malformed;
      return line_;
    }
  }
  line_.kind = LoaderLineKind::Setting;
  return line_;
}

void LoaderLineReader::start_line() {
  finished_ = false;
  state_ = State::Lead;
  rule_ = ValueRule::Expanded;
  expansion_ = Expansion::Text;
  quoted_ = false;
  value_ended_ = false;
  name_length_ = 0;
  name_first_ = '\0';
  name_tail_.fill('\0');
  line_.kind = LoaderLineKind::Ignored;
  line_.name.clear();
  line_.name_cut = false;
  line_.value.text.clear();
  line_.value.cut = false;
  line_.value.number = KernelNumberReader{};
  line_.bound = ValueBound::None;
}

LoaderLine read_loader_line(std::string_view text, const LoaderEnvironment* environment) {
  LoaderLineReader reader(environment);
  reader.feed(text);
  return reader.finish();
}
