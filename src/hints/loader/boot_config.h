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
/// loader skips it.

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
  std::vector<std::string> findings;        // what exists but cannot be read
};

/// A file opened for reading without blocking on what its name holds (a FIFO).
struct OpenedFile {
  FileDescriptor fd;
  struct stat status {};
};

/// Opens `path`, which the loader names `shown`, for reading as a regular
/// file. Nothing when it is not there (with the finding `when_absent`, when
/// given, as the loader itself passes over it in silence), or with a finding
/// when it cannot be read or is not a regular file.
std::optional<OpenedFile> open_loader_file(const std::string& path, std::string_view shown,
                                           std::vector<std::string>& findings,
                                           std::string_view when_absent = {});

/// Adds the finding that `shown` cannot be read, with the system's reason.
void report_unreadable(std::string_view shown, int error, std::vector<std::string>& findings);

/// `path` (as the loader or the command line names it) under `root`; a root
/// of "/" or "" leaves it as it is.
std::string path_under_root(std::string_view root, std::string_view path);

/// Reads the whole configuration under `root`. A file whose identity is
/// `hints` (when given) is marked as the hints file. Throws std::bad_alloc
/// when memory runs out.
void read_boot_configuration(std::string_view root, const struct stat* hints, BootConfiguration& boot);

/// Reads the settings of the open regular file `fd` (which it closes)
/// through `pass`, as the loader reads one file. 0, 12 when memory runs
/// out, or the system error number of a failed read.
int read_boot_file(int fd, LoaderFilePass& pass);

/// A finding about `path`: the path in double quotes, then `text`.
std::string finding(std::string_view path, std::string_view text);
