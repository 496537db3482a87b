// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
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

/// The settings the tool writes and the one that makes them moot:
/// hint.lapic.<unit>.disabled, hint.apic.<unit>.clock, kern.smp.topology and
/// kern.smp.disabled.
bool is_watched_setting(std::string_view name);

/// The pass that reads one file as the boot loader reads it: each whole line
/// through the loader's grammar, every setting into `environment`, $name
/// taken from what was set before. The report and --verify both read
/// through it, so they agree on every file.
class LoaderFilePass final : public LineHandler {
 public:
  explicit LoaderFilePass(LoaderEnvironment& environment) : environment_(environment), reader_(&environment) {}

  int read_line(LineBuffer& line) override { return read_boot_setting(line); }

  /// Feeds one piece; once its line is whole, applies what the loader reads
  /// from it. 0, or 12 when memory runs out.
  int read_boot_setting(LineBuffer& line);

  /// Starts a new file: numbers its lines from 1, as file `file_index` of
  /// the reading order.
  void start_file(std::size_t file_index);

  /// Numbers of the lines of the current file that set nothing; kept only
  /// when asked for.
  bool keep_rejected_lines = false;
  std::vector<std::size_t> rejected_lines;
  /// Where each watched setting was set last, when given; and, when given,
  /// the same for what one entry of a loader_conf_dirs folder sets.
  WatchedSettings* watched = nullptr;
  WatchedSettings* entry_log = nullptr;
  /// The file's own loader_conf_files: the loader keeps it out of the
  /// environment and reads the files it names right after this one.
  std::optional<std::string> loader_conf_files;

 private:
  void apply(const LoaderLine& line);
  void watch(const LoaderLine& line, WatchedSettings& settings) const;

  LoaderEnvironment& environment_;
  LoaderLineReader reader_;
  std::size_t file_index_ = 0;
  std::size_t line_number_ = 0;
};
