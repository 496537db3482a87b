// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "hints/loader/line_filter.h"
#include "hints/loader/loader_environment.h"
#include "hints/loader/loader_lines.h"

/// Where a setting was read: the file's place in the boot loader's reading
/// order and the line's number in it (1-based, every line feed counted).
struct SettingOrigin {
  std::size_t file = 0;
  std::size_t line = 0;
};

/// A setting that --verify's verdict compares: where it was set last and how
/// the kernel reads its value.
struct WatchedSetting {
  SettingOrigin origin;
  KernelNumberReader reading;
};

using WatchedSettings = std::map<std::string, WatchedSetting, std::less<>>;

/// What the entries of one loader_conf_dirs folder set: for each watched
/// setting, the last setting of each entry that set it, in entry order. One
/// map for the folder, not one per entry, so that a folder of many files
/// costs a few words per line that sets a hint.
struct FolderSettings {
  std::map<std::string, std::vector<std::pair<std::size_t, WatchedSetting>>, std::less<>> by_name;
  std::size_t entry = 0;  // the entry being read
};

/// The values some names held at one moment, kept only for those of them
/// set again after it: what such a name held is moved here before it is
/// first overwritten, so the moment's values cost no copy.
struct ValueSnapshot {
  std::set<std::string, std::less<>> names;                             // the names kept
  std::map<std::string, std::optional<LoaderValue>, std::less<>> before;  // none: unset then

  /// What `name` (one of `names`) held at that moment, read from
  /// `environment` as it is now; null when unset.
  const LoaderValue* find(const LoaderEnvironment& environment, std::string_view name) const;
};

/// The settings the tool writes and the one that makes them moot:
/// hint.lapic.<unit>.disabled, hint.apic.<unit>.clock, kern.smp.topology and
/// kern.smp.disabled.
bool is_watched_setting(std::string_view name);

/// Why a bound of the reading keeps a line from being read exactly.
enum class LineBound : std::uint8_t {
  ValueCutAfterText,     // expands a value longer than kMaxHeldValue after other text
  ExpansionBudgetSpent,  // the budget ran out here: no $name is expanded after it
  NamesFull,             // a new name past max_names: no new name is kept after it
};

struct BoundedLine {
  std::size_t line = 0;
  LineBound bound = LineBound::ValueCutAfterText;
};

/// The pass that reads one file as the boot loader reads it: each whole line
/// through the loader's grammar, every setting into `environment`, $name
/// taken from what was set before (drawing on `budget`, when given). The
/// report and --verify both read through it, so they agree on every file.
class LoaderFilePass final : public LineHandler {
 public:
  explicit LoaderFilePass(LoaderEnvironment& environment, ExpansionBudget* budget = nullptr)
      : environment_(environment), reader_(&environment, budget) {}

  int read_line(LineBuffer& line) override { return read_boot_setting(line); }

  /// Feeds one piece; once its line is whole, applies what the loader reads
  /// from it. 0, 12 when memory runs out, or EFBIG past `bytes_left`.
  int read_boot_setting(LineBuffer& line);

  /// Starts a new file: numbers its lines from 1, as file `file_index` of
  /// the reading order.
  void start_file(std::size_t file_index);

  /// The lines of the current file that set nothing, kept only when asked
  /// for: rejected_lines[n] for line n, a bit each, so that a file of
  /// nothing else costs an eighth of its lines.
  bool keep_rejected_lines = false;
  std::vector<bool> rejected_lines;
  /// The lines of the current file that a bound kept from being read
  /// exactly, kept only when asked for; the bounds keep them few (each but
  /// two costs a long value's copy from the expansion budget).
  bool keep_bounded_lines = false;
  std::vector<BoundedLine> bounded_lines;
  /// How many more bytes the pass reads: a file that grows past it while
  /// read stops the reading (EFBIG).
  std::size_t bytes_left = SIZE_MAX;
  /// The most names the environment holds: a line that sets a new name
  /// past it is not kept, so that memory does not grow with the lines.
  std::size_t max_names = SIZE_MAX;
  /// Where each watched setting was set last, when given; and, when given,
  /// the same for what each entry of a loader_conf_dirs folder sets.
  WatchedSettings* watched = nullptr;
  FolderSettings* folder_log = nullptr;
  /// When given, the values of its names before this pass sets them again.
  ValueSnapshot* snapshot = nullptr;
  /// The file's own loader_conf_files: the loader keeps it out of the
  /// environment and reads the files it names right after this one.
  std::optional<std::string> loader_conf_files;

 private:
  void apply(const LoaderLine& line);
  void note_bound(LineBound bound);
  void watch(const LoaderLine& line, WatchedSettings& settings) const;
  void log_in_folder(const LoaderLine& line) const;

  LoaderEnvironment& environment_;
  LoaderLineReader reader_;
  std::size_t file_index_ = 0;
  std::size_t line_number_ = 0;
  bool names_full_ = false;
};
