// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/boot_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <queue>
#include <utility>

#include "common/file_handles.h"
#include "hints/loader/line_filter.h"
#include "hints/loader/rooted_path.h"

namespace {

/// The loader takes file and folder lists apart at anything that is not a
/// printable ASCII character other than the space ("[%w%p]+").
bool in_file_list(char c) { return c > ' ' && c < 0x7f; }
/// product_vars is split at white space alone ("%S+").
bool in_word(char c) {
  return c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r';
}

/// A list of names taken apart one name at a time, so that a long list
/// costs no more memory than its text.
class NameList {
 public:
  explicit NameList(std::string text, bool (*in_name)(char) = in_file_list)
      : text_(std::move(text)), in_name_(in_name) {}

  /// The next name; empty at the end of the list.
  std::string_view next() {
    skip_separators();
    const std::size_t start = at_;
    while (at_ < text_.size() && in_name_(text_[at_])) ++at_;
    return std::string_view(text_).substr(start, at_ - start);
  }
  /// Whether no name is left.
  bool done() {
    skip_separators();
    return at_ == text_.size();
  }

 private:
  void skip_separators() {
    while (at_ < text_.size() && !in_name_(text_[at_])) ++at_;
  }

  std::string text_;
  bool (*in_name_)(char);
  std::size_t at_ = 0;
};

/// The loader's ".lua$" and ".conf$" tests: any one character, then the suffix.
bool has_pattern_suffix(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix);
}

/// A file or folder that is not there: the loader passes over it in silence.
bool is_absent(int error) { return error == ENOENT || error == ENOTDIR; }

std::string value_of(const LoaderEnvironment& environment, std::string_view name) {
  const LoaderValue* value = environment.find(name);
  return value == nullptr ? std::string() : value->text;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Walk {
  Walk(int root, const struct stat* hints_file, ExpansionBudget& budget, BootConfiguration& configuration)
      : root_fd(root), hints(hints_file), boot(configuration), pass(configuration.environment, &budget) {}

  int root_fd;
  const struct stat* hints;
  BootConfiguration& boot;
  LoaderFilePass pass;
  std::size_t names_tried = 0;
  std::size_t bytes_left = kMaxBootBytes;

  void cannot_read(std::string_view name, int error) { report_unreadable(name, error, boot.findings); }

  /// Whether `name` may be tried: false, and the walk stops there, once
  /// kMaxBootNames names have been.
  bool may_try(std::string_view name) {
    if (boot.cut_short) return false;
    if (names_tried == kMaxBootNames) {
      stop_at(name);
      return false;
    }
    ++names_tried;
    return true;
  }
  /// Nothing from `name` on is read.
  void stop_at(std::string_view name) {
    static_assert(kMaxBootNames == 4096, "the finding states the bound");
    boot.findings.push_back(finding(name, "is not read: 4096 files and folders come before it, the most that are read"));
    boot.cut_short = true;
    boot.inexact = true;
  }
};

/// Reads an open file as the next in the loader's order.
void read_opened(Walk& walk, std::string_view name, OpenedFile& file) {
  BootConfiguration& boot = walk.boot;
  boot.files.push_back({std::string(name), walk.hints != nullptr && same_file(file.status, *walk.hints)});
  walk.pass.start_file(boot.files.size() - 1);
  const FileReading reading = read_boot_file(file, name, walk.pass, walk.bytes_left, boot.findings);
  if (reading == FileReading::NotRead) boot.files.pop_back();
  if (reading != FileReading::Read) boot.inexact = true;
}

/// Opens a file the loader would read; nothing when it is not there or, with
/// a finding, when it cannot be read.
std::optional<OpenedFile> open_named(Walk& walk, std::string_view name) {
  return open_loader_file(walk.root_fd, name, name, walk.boot.findings);
}

void process_file(Walk& walk, std::string_view name, OpenedFile& file) {
  if (has_pattern_suffix(name, "lua")) {
    // The loader runs such a file as a program; what it sets cannot be read off its lines.
    walk.boot.findings.push_back(finding(name, "is a Lua program, whose settings are not checked"));
    return;
  }
  read_opened(walk, name, file);
}

/// Reads one file (open already, when given), and puts the list of files it
/// names on `lists`.
void read_one(Walk& walk, const std::string& name, std::optional<OpenedFile> file, std::vector<NameList>& lists) {
  walk.pass.loader_conf_files.reset();
  if (!file) file = open_named(walk, name);
  if (file) process_file(walk, name, *file);
  walk.boot.named.insert(name);
  if (walk.pass.loader_conf_files) {
    lists.emplace_back(std::move(*walk.pass.loader_conf_files));
    walk.pass.loader_conf_files.reset();
  }
}

/// Reads `name` (open already, when given; else unless it was read before)
/// and, depth first, each file it names right after it, as the loader's
/// recursion does; the lists being read are kept here, so that no depth of
/// files names within files costs stack.
void read_conf(Walk& walk, std::string_view first, std::optional<OpenedFile> opened = std::nullopt) {
  if (!opened && (walk.boot.named.contains(first) || !walk.may_try(first))) return;
  std::vector<NameList> lists;
  read_one(walk, std::string(first), std::move(opened), lists);
  while (!lists.empty() && !walk.boot.cut_short) {
    const std::string name(lists.back().next());
    // A list read to its end goes before the file it names last is read, so
    // that a chain of files, each naming the next, keeps one list.
    while (!lists.empty() && lists.back().done()) lists.pop_back();
    if (name.empty() || walk.boot.named.contains(name) || !walk.may_try(name)) continue;
    read_one(walk, name, std::nullopt, lists);
  }
}

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
/// In the order of the first entry that sets each, then by name.
void find_order_conflicts(const std::string& folder, const FolderSettings& settings,
                          std::vector<OrderConflict>& conflicts) {
  std::vector<std::pair<std::size_t, const std::string*>> order;
  for (const auto& named : settings.by_name) {
    const std::string& name = named.first;
    const WatchedSetting& first = named.second.front().second;
    const auto differs = [&](const auto& setter) { return !reads_alike(name, first.reading, setter.second.reading); };
    if (std::any_of(named.second.begin(), named.second.end(), differs))
      order.emplace_back(named.second.front().first, &name);
  }
  std::sort(order.begin(), order.end(),
            [](const auto& a, const auto& b) { return a.first != b.first ? a.first < b.first : *a.second < *b.second; });
  for (const auto& conflicting : order) {
    const std::string& name = *conflicting.second;
    OrderConflict& conflict = conflicts.emplace_back(OrderConflict{folder, name, {}});
    for (const auto& setter : settings.by_name.find(name)->second) conflict.setters.push_back(setter.second.origin);
  }
}

/// The "*.conf" names of a folder's listing in byte order: no more than
/// the walk may try, plus one, kept, so that a huge folder costs no memory.
/// False when the listing cannot be read.
bool list_conf_names(DIR* listing, std::vector<std::string>& names, bool& more) {
  std::priority_queue<std::string> smallest;  // the largest kept on top
  errno = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (!has_pattern_suffix(entry->d_name, "conf")) continue;
    smallest.emplace(entry->d_name);
    if (smallest.size() > kMaxBootNames + 1) {
      smallest.pop();
      more = true;
    }
  }
  if (errno != 0) return false;
  names.resize(smallest.size());
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    *name = smallest.top();
    smallest.pop();
  }
  return true;
}

/// The "*.conf" regular files of one loader_conf_dirs folder, in byte order of their names.
void read_conf_folder(Walk& walk, const std::string& folder) {
  FileDescriptor fd = open_in_root(walk.root_fd, folder, O_RDONLY | O_DIRECTORY);
  // Not there, or no folder: the loader complains and goes on.
  if (!fd.valid()) {
    if (!is_absent(errno)) walk.cannot_read(folder, errno);
    return;
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(fd.get()), ::closedir);
  if (!listing) {
    if (errno == ENOMEM) throw std::bad_alloc();
    walk.cannot_read(folder, errno);
    return;
  }
  fd.release();
  std::vector<std::string> names;
  bool more = false;
  if (!list_conf_names(listing.get(), names, more)) {
    walk.cannot_read(folder, errno);
    return;
  }
  FolderSettings settings;  // what each file, with the files it names, sets
  for (const std::string& entry : names) {
    std::string name = folder;
    name += '/';
    name += entry;
    if (walk.boot.named.contains(name)) continue;
    if (!walk.may_try(name)) break;
    // Only regular files count; anything else in the folder is passed over.
    OpenedFile file;
    file.fd = open_in_root(walk.root_fd, name, O_RDONLY);
    if (!file.fd.valid() || ::fstat(file.fd.get(), &file.status) != 0) {
      if (!is_absent(errno)) walk.cannot_read(name, errno);
    } else if (S_ISREG(file.status.st_mode)) {
      walk.pass.folder_log = &settings;
      read_conf(walk, name, std::move(file));
      walk.pass.folder_log = nullptr;
      ++settings.entry;
    }
  }
  // Names past those kept were never tried: the bound stops the walk here.
  if (more && !walk.boot.cut_short) walk.stop_at(folder);
  find_order_conflicts(folder, settings, walk.boot.order_conflicts);
}

/// The folders of loader_conf_dirs and those product_vars names, read in
/// turn. The loader puts the list together before it reads any folder, so
/// the values it takes are those of that moment, which a snapshot keeps.
void read_conf_folders(Walk& walk) {
  const LoaderEnvironment& environment = walk.boot.environment;
  NameList folders(value_of(environment, "loader_conf_dirs"));
  const std::string product_vars = value_of(environment, "product_vars");
  ValueSnapshot products;
  NameList vars(product_vars, in_word);
  for (std::string_view var = vars.next(); !var.empty(); var = vars.next()) products.names.emplace(var);
  walk.pass.snapshot = &products;
  for (std::string_view folder = folders.next(); !folder.empty() && walk.may_try(folder); folder = folders.next())
    read_conf_folder(walk, std::string(folder));
  NameList again(product_vars, in_word);
  for (std::string_view var = again.next(); !var.empty() && !walk.boot.cut_short; var = again.next()) {
    const LoaderValue* product = products.find(environment, var);
    if (product == nullptr) continue;
    NameList named("/boot/loader.conf.d/" + product->text);
    for (std::string_view folder = named.next(); !folder.empty() && walk.may_try(folder); folder = named.next())
      read_conf_folder(walk, std::string(folder));
  }
  walk.pass.snapshot = nullptr;
}

/// A nextboot file applies to the next boot alone, after everything else,
/// unless it has been used (its first line turned off) or is turned off.
void read_nextboot(Walk& walk) {
  const LoaderEnvironment& environment = walk.boot.environment;
  const LoaderValue* name = environment.find("nextboot_conf");
  const LoaderValue* enable = environment.find("nextboot_enable");
  if (name == nullptr || (enable != nullptr && enable->text == "NO")) return;
  const std::string file_name = name->text;
  const bool enabled = enable != nullptr;
  if (!walk.may_try(file_name)) return;
  std::optional<OpenedFile> file = open_named(walk, file_name);
  if (!file) return;
  if (!enabled) {
    constexpr std::string_view kUsed = "nextboot_enable=\"NO\"";
    char start[kUsed.size()] = {};
    const ssize_t got = ::pread(file->fd.get(), start, sizeof start, 0);
    if (got == static_cast<ssize_t>(sizeof start) && std::string_view(start, sizeof start) == kUsed)
      return;
  }
  walk.boot.named.insert(file_name);
  read_opened(walk, file_name, *file);
}

/// A finding about line `line` of `path`: the path in double quotes, the line, then `text`.
std::string line_finding(std::string_view path, std::string_view text, std::size_t line) {
  return finding(path, "line " + std::to_string(line) + ": " + std::string(text));
}

/// The findings for the lines of one file that a bound kept from being read exactly.
void report_bounded_lines(std::string_view shown, const std::vector<BoundedLine>& lines,
                          std::vector<std::string>& findings) {
  static_assert(kMaxHeldValue == 65536 && kMaxExpandedBytes == 64 << 20 && kMaxSettingNames == 16384,
                "the findings state the bounds");
  // One line each, so that the manual page's check finds every text.
  for (const BoundedLine& line : lines) {
    const std::size_t n = line.line;
    switch (line.bound) {
      case LineBound::ValueCutAfterText:
        findings.push_back(line_finding(shown, "the value is not checked: it expands a value longer than 65536 bytes after other text", n));
        break;
      case LineBound::ExpansionBudgetSpent:
        findings.push_back(line_finding(shown, "the value is not checked: $name expansions have copied 64 MiB, and no more are made", n));
        break;
      case LineBound::NamesFull:
        findings.push_back(line_finding(shown, "the setting is not kept: 16384 names are set before it, and no more are kept", n));
        break;
    }
  }
}

}  // namespace

std::optional<OpenedFile> open_loader_file(int root_fd, std::string_view path, std::string_view shown,
                                           std::vector<std::string>& findings,
                                           std::string_view when_absent) {
  OpenedFile file;
  file.fd = open_in_root(root_fd, path, O_RDONLY);
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

std::string finding(std::string_view path, std::string_view text) {
  std::string line = "\"";
  line += path;
  line += "\" ";
  line += text;
  return line;
}

void read_boot_configuration(int root_fd, const struct stat* hints, ExpansionBudget& budget,
                             BootConfiguration& boot) {
  Walk walk{root_fd, hints, budget, boot};
  walk.pass.watched = &boot.watched;
  walk.pass.keep_bounded_lines = true;
  walk.pass.max_names = kMaxSettingNames;
  read_conf(walk, "/boot/defaults/loader.conf");
  read_conf_folders(walk);
  // Read after the folders, so taken as they left it.
  NameList locals(value_of(boot.environment, "local_loader_conf_files"));
  for (std::string_view file = locals.next(); !file.empty() && !walk.boot.cut_short; file = locals.next())
    read_conf(walk, file);
  read_nextboot(walk);
}

FileReading read_boot_file(OpenedFile& file, std::string_view shown, LoaderFilePass& pass,
                           std::size_t& bytes_left, std::vector<std::string>& findings) {
  static_assert(kMaxBootBytes == 64 << 20, "the findings state the bound");
  if (static_cast<std::uintmax_t>(file.status.st_size) > bytes_left) {
    findings.push_back(finding(shown, "is not read: it would take the files read past 64 MiB"));
    return FileReading::NotRead;
  }
  FilePtr input(::fdopen(file.fd.get(), "r"));
  if (!input) {
    if (errno == ENOMEM || errno == 0) throw std::bad_alloc();
    report_unreadable(shown, errno, findings);
    return FileReading::Read;
  }
  file.fd.release();
  std::setvbuf(input.get(), nullptr, _IONBF, 0);
  pass.bytes_left = bytes_left;
  const int status = filter_lines(input.get(), nullptr, &pass);
  bytes_left = pass.bytes_left;
  if (status == ENOMEM) throw std::bad_alloc();
  report_bounded_lines(shown, pass.bounded_lines, findings);
  if (status == EFBIG) {
    // It grew while it was read.
    findings.push_back(finding(shown, "is not read: it would take the files read past 64 MiB"));
    return FileReading::Inexact;
  }
  if (status != 0) report_unreadable(shown, status, findings);
  return pass.bounded_lines.empty() ? FileReading::Read : FileReading::Inexact;
}
