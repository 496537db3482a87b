// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/boot_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "common/file_handles.h"
#include "common/interrupted_calls.h"
#include "hints/loader/line_filter.h"

namespace {

/// The loader takes file and folder lists apart at anything that is not a
/// printable ASCII character other than the space ("[%w%p]+").
bool in_file_list(char c) { return c > ' ' && c < 0x7f; }
/// product_vars is split at white space alone ("%S+").
bool in_word(char c) {
  return c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r';
}

std::vector<std::string> tokens(std::string_view text, bool (*in_token)(char)) {
  std::vector<std::string> found;
  for (std::size_t at = 0; at < text.size();) {
    if (!in_token(text[at])) {
      ++at;
      continue;
    }
    const std::size_t start = at;
    while (at < text.size() && in_token(text[at])) ++at;
    found.emplace_back(text.substr(start, at - start));
  }
  return found;
}

/// The loader's ".lua$" and ".conf$" tests: any one character, then the suffix.
bool has_pattern_suffix(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix);
}

/// A file or folder that is not there: the loader passes over it in silence.
bool is_absent(int error) { return error == ENOENT || error == ENOTDIR; }

const std::string* value_of(const LoaderEnvironment& environment, std::string_view name) {
  const LoaderValue* value = environment.find(name);
  return value == nullptr ? nullptr : &value->text;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Walk {
  std::string_view root;
  const struct stat* hints;
  BootConfiguration& boot;
  LoaderFilePass pass{boot.environment};

  void cannot_read(std::string_view name, int error) { report_unreadable(name, error, boot.findings); }
};

/// Reads an open file as the next in the loader's order.
void read_opened(Walk& walk, std::string_view name, OpenedFile& file) {
  BootConfiguration& boot = walk.boot;
  boot.files.push_back({std::string(name), walk.hints != nullptr && same_file(file.status, *walk.hints)});
  walk.pass.start_file(boot.files.size() - 1);
  const int status = read_boot_file(file.fd.release(), walk.pass);
  if (status == ENOMEM) throw std::bad_alloc();
  if (status != 0) walk.cannot_read(name, status);
}

/// Opens a file the loader would read; nothing when it is not there or, with
/// a finding, when it cannot be read.
std::optional<OpenedFile> open_named(Walk& walk, std::string_view name) {
  return open_loader_file(path_under_root(walk.root, name), name, walk.boot.findings);
}

void process_file(Walk& walk, std::string_view name) {
  std::optional<OpenedFile> file = open_named(walk, name);
  if (!file) return;
  if (has_pattern_suffix(name, "lua")) {
    // The loader runs such a file as a program; what it sets cannot be read off its lines.
    walk.boot.findings.push_back(finding(name, "is a Lua program, whose settings are not checked"));
    return;
  }
  read_opened(walk, name, *file);
}

void read_conf(Walk& walk, const std::string& name);

/// Whether the kernel reads two values of `name` alike: a disable hint by
/// what it does to the core, any other setting by its number.
bool reads_alike(std::string_view name, const KernelNumberReader& a, const KernelNumberReader& b) {
  if (!name.starts_with("hint.lapic.")) return a.reads_like(b);
  const auto effect = [](const KernelNumberReader& reading) {
    const KernelNumber number = reading.result();
    return number == KernelNumber::Blank ? 0 : number == KernelNumber::NonZero ? 1 : 2;
  };
  return effect(a) == effect(b);
}

/// The settings that entries of one folder set to values the kernel reads
/// differently; the loader's order of the folder then decides among them.
void find_order_conflicts(const std::string& folder, const std::vector<WatchedSettings>& entries,
                          std::vector<OrderConflict>& conflicts) {
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    for (const auto& [name, first] : entries[i]) {
      if (!seen.insert(name).second) continue;
      OrderConflict conflict{folder, name, {first.origin}};
      bool differs = false;
      for (std::size_t j = i + 1; j < entries.size(); ++j) {
        const auto other = entries[j].find(name);
        if (other == entries[j].end()) continue;
        conflict.setters.push_back(other->second.origin);
        differs = differs || !reads_alike(name, first.reading, other->second.reading);
      }
      if (differs) conflicts.push_back(std::move(conflict));
    }
  }
}

/// The "*.conf" files of one loader_conf_dirs folder, in byte order of their names.
void read_conf_folder(Walk& walk, const std::string& folder) {
  const std::string path = path_under_root(walk.root, folder);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    if (!is_absent(errno)) walk.cannot_read(folder, errno);
    return;
  }
  if (!S_ISDIR(status.st_mode)) return;  // the loader complains and goes on
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(path.c_str()), ::closedir);
  if (!listing) {
    if (!is_absent(errno)) walk.cannot_read(folder, errno);
    return;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (has_pattern_suffix(entry->d_name, "conf")) names.emplace_back(entry->d_name);
  }
  if (errno != 0) {
    walk.cannot_read(folder, errno);
    return;
  }
  std::sort(names.begin(), names.end());
  std::vector<WatchedSettings> entries;  // what each file, with the files it names, sets
  for (const std::string& entry : names) {
    std::string name = folder;
    name += '/';
    name += entry;
    // Only regular files count; anything else in the folder is passed over.
    if (::stat(path_under_root(walk.root, name).c_str(), &status) != 0) {
      if (!is_absent(errno)) walk.cannot_read(name, errno);
    } else if (S_ISREG(status.st_mode)) {
      walk.pass.entry_log = &entries.emplace_back();
      read_conf(walk, name);
      walk.pass.entry_log = nullptr;
    }
  }
  find_order_conflicts(folder, entries, walk.boot.order_conflicts);
}

/// The folders of loader_conf_dirs, and those product_vars names.
std::string conf_folders(const LoaderEnvironment& environment) {
  std::string folders;
  if (const std::string* dirs = value_of(environment, "loader_conf_dirs")) folders = *dirs;
  if (const std::string* vars = value_of(environment, "product_vars")) {
    for (const std::string& var : tokens(*vars, in_word)) {
      if (const std::string* product = value_of(environment, var))
        folders += " /boot/loader.conf.d/" + *product;
    }
  }
  return folders;
}

void read_conf(Walk& walk, const std::string& name) {
  BootConfiguration& boot = walk.boot;
  if (boot.named.contains(name)) return;
  const bool top_level = boot.named.empty();
  walk.pass.loader_conf_files.reset();
  process_file(walk, name);
  boot.named.insert(name);

  const std::optional<std::string> named_here = std::move(walk.pass.loader_conf_files);
  walk.pass.loader_conf_files.reset();
  if (named_here) {
    for (const std::string& file : tokens(*named_here, in_file_list)) read_conf(walk, file);
  }
  if (!top_level) return;
  for (const std::string& folder : tokens(conf_folders(boot.environment), in_file_list))
    read_conf_folder(walk, folder);
  if (const std::string* locals = value_of(boot.environment, "local_loader_conf_files")) {
    for (const std::string& file : tokens(*locals, in_file_list)) read_conf(walk, file);
  }
}

/// A nextboot file applies to the next boot alone, after everything else,
/// unless it has been used (its first line turned off) or is turned off.
void read_nextboot(Walk& walk) {
  const LoaderEnvironment& environment = walk.boot.environment;
  const std::string* name = value_of(environment, "nextboot_conf");
  const std::string* enable = value_of(environment, "nextboot_enable");
  if (name == nullptr || (enable != nullptr && *enable == "NO")) return;
  const std::string file_name = *name;
  std::optional<OpenedFile> file = open_named(walk, file_name);
  if (!file) return;
  if (enable == nullptr) {
    constexpr std::string_view kUsed = "nextboot_enable=\"NO\"";
    char start[kUsed.size()] = {};
    const ssize_t got = ::pread(file->fd.get(), start, sizeof start, 0);
    if (got == static_cast<ssize_t>(sizeof start) && std::string_view(start, sizeof start) == kUsed)
      return;
  }
  walk.boot.named.insert(file_name);
  read_opened(walk, file_name, *file);
}

}  // namespace

std::optional<OpenedFile> open_loader_file(const std::string& path, std::string_view shown,
                                           std::vector<std::string>& findings,
                                           std::string_view when_absent) {
  OpenedFile file;
  // Without O_NONBLOCK a FIFO would hold the run here for ever.
  file.fd = FileDescriptor(retry_interrupted(
      [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY); }));
  if (!file.fd.valid() || ::fstat(file.fd.get(), &file.status) != 0) {
    if (!is_absent(errno)) {
      report_unreadable(shown, errno, findings);
    } else if (!when_absent.empty()) {
      findings.push_back(finding(shown, when_absent));
    }
    return std::nullopt;
  }
  if (!S_ISREG(file.status.st_mode)) {
    findings.push_back(finding(shown, "is not a regular file"));
    return std::nullopt;
  }
  return file;
}

void report_unreadable(std::string_view shown, int error, std::vector<std::string>& findings) {
  findings.push_back(finding(shown, std::string("cannot be read: ") + std::strerror(error)));
}

std::string path_under_root(std::string_view root, std::string_view path) {
  while (root.size() > 1 && root.ends_with('/')) root.remove_suffix(1);
  if (root.empty() || root == "/") return std::string(path);
  std::string joined(root);
  if (!path.starts_with('/')) joined += '/';
  joined += path;
  return joined;
}

std::string finding(std::string_view path, std::string_view text) {
  std::string line = "\"";
  line += path;
  line += "\" ";
  line += text;
  return line;
}

void read_boot_configuration(std::string_view root, const struct stat* hints, BootConfiguration& boot) {
  Walk walk{root, hints, boot};
  walk.pass.watched = &boot.watched;
  read_conf(walk, "/boot/defaults/loader.conf");
  read_nextboot(walk);
}

int read_boot_file(int fd, LoaderFilePass& pass) {
  FileDescriptor owned(fd);
  FilePtr input(::fdopen(owned.get(), "r"));
  if (!input) return errno != 0 ? errno : ENOMEM;
  owned.release();
  std::setvbuf(input.get(), nullptr, _IONBF, 0);
  return filter_lines(input.get(), nullptr, &pass);
}
