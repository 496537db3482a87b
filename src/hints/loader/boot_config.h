// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_handles.h"
#include "hints/loader/loader_environment.h"
#include "hints/loader/loader_file_pass.h"

/// The boot loader's configuration as the loader itself gathers it at boot:
/// /boot/defaults/loader.conf; each file a loader_conf_files setting names,
/// right after the file that named it; every "*.conf" of each
/// loader_conf_dirs folder; local_loader_conf_files; and a pending nextboot
/// file. A file is read once, and a file that is not there is skipped, as the
/// loader skips it. Every path resolves inside the root as the system
/// mounted there resolves it (see open_in_root).

/// One file the loader reads, in its reading order.
struct BootFile {
  std::string name;  // as the loader names it: a path under the root
  bool is_hints_file = false;
};

/// A setting that files of one loader_conf_dirs folder (each with the files
/// it makes the loader read right after it) set to values the kernel reads
/// differently. The loader reads the folder in the order its file system
/// lists it, so which value the next boot gets depends on that order.
struct OrderConflict {
  std::string folder;
  std::string name;
  std::vector<SettingOrigin> setters;  // the last setting of each file, in byte order
};

struct BootConfiguration {
  LoaderEnvironment environment;
  WatchedSettings watched;                  // where each watched setting was set last
  std::vector<OrderConflict> order_conflicts;
  std::vector<BootFile> files;              // in reading order
  std::set<std::string, std::less<>> named;  // every name the loader tried to read
  std::vector<std::string> findings;        // what exists but cannot be read, and bounds hit
  bool cut_short = false;  // a bound stopped the reading: what follows is not known
  bool inexact = false;    // a bound left a file unread or a value inexact (or cut it short)
};

/// The bounds of one reading: the boot loader itself runs in a small heap,
/// so a configuration beyond them is no ordinary one, and a hostile tree
/// costs a bounded time and memory. Past the first, nothing more is read;
/// past the second, a file is not read, judged from its size alone; past
/// the third, no new name is kept. Expansions have theirs (kMaxExpandedBytes).
inline constexpr std::size_t kMaxBootNames = 4096;                           // files and folders tried
inline constexpr std::size_t kMaxBootBytes = std::size_t{64} * 1024 * 1024;  // of all files read
inline constexpr std::size_t kMaxSettingNames = 16384;                       // in one environment

/// A file opened for reading without blocking on what its name holds (a FIFO).
struct OpenedFile {
  FileDescriptor fd;
  struct stat status {};
};

/// Opens `path` (a path inside the root open as `root_fd`, which the
/// loader names `shown`) for reading as a regular file. Nothing when it is
/// not there (with the finding `when_absent`, when given, as the loader
/// itself passes over it in silence), or with a finding when it cannot be
/// read or is not a regular file.
std::optional<OpenedFile> open_loader_file(int root_fd, std::string_view path, std::string_view shown,
                                           std::vector<std::string>& findings,
                                           std::string_view when_absent = {});

/// Adds the finding that `shown` cannot be read, with the system's reason.
void report_unreadable(std::string_view shown, int error, std::vector<std::string>& findings);

/// Reads the whole configuration inside the root open as `root_fd`, its
/// expansions drawing on `budget`. A file whose identity is `hints` (when
/// given) is marked as the hints file. Throws std::bad_alloc when memory
/// runs out.
void read_boot_configuration(int root_fd, const struct stat* hints, ExpansionBudget& budget,
                             BootConfiguration& boot);

/// How the reading of one file went.
enum class FileReading {
  Read,     // as the loader reads it, or with a finding when a read failed
  Inexact,  // a bound kept a line from being read exactly, or the file grew past the bytes left
  NotRead,  // its size is more than the bytes left
};

/// Reads the settings of the open regular file `file`, which the loader
/// names `shown`, through `pass`, as the loader reads one file, drawing on
/// `bytes_left`. Findings for a file not read, a failed read and the lines a
/// bound kept from being read exactly go to `findings`. Throws std::bad_alloc.
FileReading read_boot_file(OpenedFile& file, std::string_view shown, LoaderFilePass& pass,
                           std::size_t& bytes_left, std::vector<std::string>& findings);

/// A finding about `path`: the path in double quotes, then `text`.
std::string finding(std::string_view path, std::string_view text);
