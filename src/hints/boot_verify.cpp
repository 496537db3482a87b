// SPDX-License-Identifier: BSD-2-Clause
#include "hints/boot_verify.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "common/interrupted_calls.h"
#include "hints/core_report.h"
#include "hints/loader/boot_config.h"
#include "hints/loader/kernel_hints.h"
#include "hints/update/update_files.h"

namespace {

/// The status of a run with a finding: the next boot would not apply the hints file.
constexpr int kNextBootDiffers = 1;

using Findings = std::vector<std::string>;

/// What the hints file says read on its own, as if it were the only file.
struct HintsAlone {
  LoaderEnvironment environment;
  std::vector<bool> rejected_lines;         // [n]: line n sets nothing
  std::optional<struct stat> identity;      // none when it could not be read
  bool inexact = false;                     // a bound left it unread or a value inexact
};

/// Whether `root` is this system's own.
bool is_own_root(std::string_view root) {
  while (root.size() > 1 && root.ends_with('/')) root.remove_suffix(1);
  return root.empty() || root == "/";
}

/// The hints file's path from the root. On this system's own root a
/// relative name is taken from the working folder, as every other command
/// takes it; under another, from that root.
std::string hints_path_in_root(bool own_root, const char* hints_path) {
  if (!own_root || hints_path[0] == '/') return hints_path;
  char folder[PATH_MAX];
  if (::getcwd(folder, sizeof folder) == nullptr) return hints_path;
  return std::string(folder) + "/" + hints_path;
}

/// The hints file read through the same pass as --show reads it, under a
/// shared lock on the descriptor read, so that an update in progress is
/// never read half written. The lock is returned, held by a second
/// descriptor of the same opening, so that it lasts while the whole
/// configuration is read; none when the file will not open or take a lock
/// (the reading then goes on without one).
FileDescriptor read_hints_alone(int root_fd, const std::string& path, const char* shown, ExpansionBudget& budget,
                                HintsAlone& alone, Findings& findings) {
  std::optional<OpenedFile> file = open_loader_file(root_fd, path, shown, findings, "does not exist");
  if (!file) return FileDescriptor();
  FileDescriptor lock;
  if (retry_interrupted([&] { return ::flock(file->fd.get(), LOCK_SH); }) == 0) {
    lock = FileDescriptor(::fcntl(file->fd.get(), F_DUPFD_CLOEXEC, 0));
    // What an update wrote before the lock was had.
    if (::fstat(file->fd.get(), &file->status) != 0) {
      report_unreadable(shown, errno, findings);
      return lock;
    }
  }
  alone.identity = file->status;
  LoaderFilePass pass(alone.environment, &budget);
  pass.keep_rejected_lines = true;
  pass.keep_bounded_lines = true;
  pass.max_names = kMaxSettingNames;
  std::size_t bytes_left = kMaxBootBytes;
  alone.inexact = read_boot_file(*file, shown, pass, bytes_left, findings) != FileReading::Read;
  alone.rejected_lines = std::move(pass.rejected_lines);
  return lock;
}

/// Every core's next-boot mode from `environment`, starting from its mode now.
std::vector<bool> next_boot_modes(CoreTable& table, const LoaderEnvironment& environment) {
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) table.entries[i].shared_next = table.entries[i].shared_now;
  if (apply_next_boot_modes(table, environment) != 0) throw std::bad_alloc();
  std::vector<bool> modes(table.cpu_count);
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) modes[i] = table.entries[i].shared_next != 0;
  return modes;
}

/// The place of the hints file's last reading in the loader's order.
std::optional<std::size_t> last_hints_reading(const BootConfiguration& boot) {
  std::optional<std::size_t> last;
  for (std::size_t i = 0; i < boot.files.size(); ++i) {
    if (boot.files[i].is_hints_file) last = i;
  }
  return last;
}

/// The line of another file that set `name`, which the kernel goes by
/// instead of the hints file's own setting; none when the hints file set it.
std::optional<std::string> override_finding(const BootConfiguration& boot, std::string_view name,
                                            std::size_t hints_reading, const char* shown) {
  const auto setting = boot.watched.find(name);
  if (setting == boot.watched.end()) return std::nullopt;
  const SettingOrigin& origin = setting->second.origin;
  if (boot.files[origin.file].is_hints_file) return std::nullopt;
  const std::string& other = boot.files[origin.file].name;
  const std::string where = "line " + std::to_string(origin.line) + " sets " + std::string(name);
  if (origin.file > hints_reading) return finding(other, where + " after \"" + shown + "\"");
  return finding(other, where + " and \"" + shown + "\" does not override it");
}

/// Why a core's next boot differs from the hints file: the line that set
/// the hint the kernel goes by. None when a bound left the readings
/// inexact, which has been said: the difference may be the bound's.
std::optional<std::string> core_finding(const BootConfiguration& boot, const HintsAlone& alone,
                                        std::size_t hints_reading, const char* shown, std::uint32_t apic_id) {
  std::string_view name = kernel_disable_hint(boot.environment, apic_id);
  if (name.empty()) name = kernel_disable_hint(alone.environment, apic_id);
  std::optional<std::string> line = override_finding(boot, name, hints_reading, shown);
  if (line || boot.inexact || alone.inexact) return line;
  return finding(shown, "does not decide APIC id " + std::to_string(apic_id) + " at the next boot");
}

/// How the kernel reads the value of `name` in `environment`; blank when unset.
KernelNumberReader reading_of(const LoaderEnvironment& environment, std::string_view name) {
  const LoaderValue* value = name.empty() ? nullptr : environment.find(name);
  return value == nullptr ? KernelNumberReader{} : value->number;
}

/// The clock hints and the topology setting that the hints file sets, where
/// the kernel gets another value: from a file read later, or from an earlier
/// spelling that it reads first.
void judge_settings(const BootConfiguration& boot, const HintsAlone& alone, const char* shown,
                    Findings& findings) {
  const std::optional<std::size_t> hints_reading = last_hints_reading(boot);
  if (!hints_reading) return;
  std::set<std::uint32_t> clock_units;
  constexpr std::string_view kClockPrefix = "hint.apic.";
  for (auto it = alone.environment.values.lower_bound(kClockPrefix);
       it != alone.environment.values.end() && it->first.starts_with(kClockPrefix); ++it) {
    const std::optional<KernelHintName> hint = read_kernel_hint_name(it->first);
    if (hint && is_clock_hint(*hint) && hint->unit_in_range)
      clock_units.insert(static_cast<std::uint32_t>(hint->unit));
  }
  for (const std::uint32_t unit : clock_units) {
    const std::string_view own = kernel_hint(alone.environment, "apic", "clock", unit);
    if (own.empty()) continue;
    std::string_view deciding = kernel_hint(boot.environment, "apic", "clock", unit);
    if (reading_of(alone.environment, own).reads_like(reading_of(boot.environment, deciding))) continue;
    // Nothing the kernel reads: the hints file's own name was set blank later.
    if (deciding.empty()) deciding = own;
    if (auto line = override_finding(boot, deciding, *hints_reading, shown)) findings.push_back(std::move(*line));
  }
  constexpr std::string_view kTopology = "kern.smp.topology";
  if (alone.environment.find(kTopology) != nullptr &&
      !reading_of(alone.environment, kTopology).reads_like(reading_of(boot.environment, kTopology))) {
    if (auto line = override_finding(boot, kTopology, *hints_reading, shown)) findings.push_back(std::move(*line));
  }
}

/// kern.smp.disabled read as a non-zero number: the next boot starts one
/// processor, whatever the hints say.
void judge_smp_disabled(const BootConfiguration& boot, Findings& findings) {
  const auto setting = boot.watched.find(std::string_view("kern.smp.disabled"));
  if (setting == boot.watched.end() || setting->second.reading.result() != KernelNumber::NonZero) return;
  const SettingOrigin& origin = setting->second.origin;
  findings.push_back(finding(boot.files[origin.file].name,
                             "line " + std::to_string(origin.line) +
                                 " sets kern.smp.disabled: the next boot starts one processor, "
                                 "whatever the hints say"));
}

/// Files of one loader_conf_dirs folder that set one setting differently:
/// the next boot takes the value of the one the file system lists last.
void judge_folder_order(const BootConfiguration& boot, Findings& findings) {
  for (const OrderConflict& conflict : boot.order_conflicts) {
    std::string line;
    for (std::size_t i = 0; i < conflict.setters.size(); ++i) {
      if (i > 0) line += i + 1 == conflict.setters.size() ? " and " : ", ";
      const SettingOrigin& origin = conflict.setters[i];
      line += "\"" + boot.files[origin.file].name + "\" line " + std::to_string(origin.line);
    }
    line += " set " + conflict.name + " to values the kernel reads differently, and the boot loader reads \"" +
            conflict.folder + "\" in the order its file system lists it";
    findings.push_back(std::move(line));
  }
}

/// Whether the loader reads the hints file (the lines of it that set nothing
/// are printed after this finding). Unknown when a bound left a file unread.
void judge_hints_file(const BootConfiguration& boot, const char* shown, Findings& findings) {
  if (!last_hints_reading(boot) && !boot.inexact && !boot.named.contains(std::string_view(shown)))
    findings.push_back(finding(shown, "is not read at the next boot: no loader_conf_files setting names it"));
}

/// The cores whose next boot differs from what the hints file read alone gives.
void judge_cores(CoreTable& table, const BootConfiguration& boot, const HintsAlone& alone,
                 const std::vector<bool>& alone_modes, const char* shown, Findings& findings) {
  const std::optional<std::size_t> hints_reading = last_hints_reading(boot);
  // Unread, the file decides nothing; that has been said.
  if (!hints_reading) return;
  for (std::uint32_t i = 1; i < table.cpu_count; ++i) {
    const CoreEntry& core = table.entries[i];
    if ((core.shared_next != 0) == alone_modes[i] || !is_first_of_its_id(table, core)) continue;
    if (auto line = core_finding(boot, alone, *hints_reading, shown, core.apic_id)) findings.push_back(std::move(*line));
  }
}

/// Standard error takes no buffer: the findings go out in blocks, so that a
/// file of a million rejected lines costs a few hundred writes, not a
/// million. Those lines go at `rejected_at`, put into words only here, so
/// that they cost no memory before.
void print_findings(const Findings& findings, std::size_t rejected_at, const std::vector<bool>& rejected,
                    const char* shown) {
  constexpr std::size_t kBlock = std::size_t{64} * 1024;
  std::string block;
  block.reserve(kBlock + 4096);
  const auto put = [&](std::string_view line) {
    block += line;
    block += '\n';
    if (block.size() < kBlock) return;
    std::fwrite(block.data(), 1, block.size(), stderr);
    block.clear();
  };
  flush_standard_output();
  for (std::size_t i = 0; i < rejected_at; ++i) put(findings[i]);
  for (std::size_t line = 0; line < rejected.size(); ++line) {
    if (rejected[line])
      put(finding(shown, "line " + std::to_string(line) + ": the boot loader reads no setting from this line"));
  }
  for (std::size_t i = rejected_at; i < findings.size(); ++i) put(findings[i]);
  std::fwrite(block.data(), 1, block.size(), stderr);
  std::fflush(stderr);
}

/// The folder the system to check is mounted at; "/" when none is given.
FileDescriptor open_root(const char* root) {
  return FileDescriptor(retry_interrupted(
      [&] { return ::open(root[0] == '\0' ? "/" : root, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
}

}  // namespace

int verify_next_boot(CoreTable& table, const char* root, const char* hints_path) {
  Findings findings;
  HintsAlone alone;
  std::size_t rejected_at = 0;
  try {
    BootConfiguration boot;
    std::vector<bool> alone_modes;
    const FileDescriptor root_fd = open_root(root);
    if (!root_fd.valid()) {
      report_unreadable(root, errno, findings);
    } else {
      const bool own_root = is_own_root(root);
      // The marker beside the hints file, which --show names too, lies on this system only.
      const FileDescriptor marker_lock = own_root ? begin_reading(hints_path) : FileDescriptor();
      // One budget for both readings, which read the hints file twice.
      ExpansionBudget budget;
      const FileDescriptor lock = read_hints_alone(root_fd.get(), hints_path_in_root(own_root, hints_path),
                                                   hints_path, budget, alone, findings);
      read_boot_configuration(root_fd.get(), alone.identity ? &*alone.identity : nullptr, budget, boot);
    }
    alone_modes = next_boot_modes(table, alone.environment);
    next_boot_modes(table, boot.environment);

    if (root_fd.valid()) judge_hints_file(boot, hints_path, findings);
    rejected_at = findings.size();
    // Each once: the hints file is read twice, and a file may be read again.
    std::set<std::string, std::less<>> said(findings.begin(), findings.end());
    for (const std::string& line : boot.findings) {
      if (said.insert(line).second) findings.push_back(line);
    }
    judge_cores(table, boot, alone, alone_modes, hints_path, findings);
    judge_settings(boot, alone, hints_path, findings);
    judge_folder_order(boot, findings);
    judge_smp_disabled(boot, findings);
  } catch (const std::bad_alloc&) {
    report("error reading the boot configuration: %s", std::strerror(ENOMEM));
    return ENOMEM;
  }
  print_core_modes(table);
  // The report goes out first, also when both go to one place.
  try {
    print_findings(findings, rejected_at, alone.rejected_lines, hints_path);
  } catch (const std::bad_alloc&) {
    report("error reading the boot configuration: %s", std::strerror(ENOMEM));
    return ENOMEM;
  }
  const bool rejected = std::find(alone.rejected_lines.begin(), alone.rejected_lines.end(), true) !=
                        alone.rejected_lines.end();
  return findings.empty() && !rejected ? 0 : kNextBootDiffers;
}
