// SPDX-License-Identifier: BSD-2-Clause
#include "hints/boot_verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/diagnostics.h"
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
  std::vector<std::size_t> rejected_lines;  // lines that set nothing
  std::optional<struct stat> identity;      // none when it could not be read
};

/// The hints file read through the same pass as --show reads it.
void read_hints_alone(const std::string& path, const char* shown, HintsAlone& alone,
                      Findings& findings) {
  std::optional<OpenedFile> file = open_loader_file(path, shown, findings, "does not exist");
  if (!file) return;
  alone.identity = file->status;
  LoaderFilePass pass(alone.environment);
  pass.keep_rejected_lines = true;
  const int status = read_boot_file(file->fd.release(), pass);
  alone.rejected_lines = std::move(pass.rejected_lines);
  if (status == ENOMEM) throw std::bad_alloc();
  if (status != 0) report_unreadable(shown, status, findings);
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
/// the hint the kernel goes by.
std::string core_finding(const BootConfiguration& boot, const HintsAlone& alone,
                         std::size_t hints_reading, const char* shown, std::uint32_t apic_id) {
  std::string_view name = kernel_disable_hint(boot.environment, apic_id);
  if (name.empty()) name = kernel_disable_hint(alone.environment, apic_id);
  std::optional<std::string> line = override_finding(boot, name, hints_reading, shown);
  if (line) return std::move(*line);
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

/// Whether the loader reads the hints file, and the lines of it that set nothing.
void judge_hints_file(const BootConfiguration& boot, const HintsAlone& alone, const char* shown,
                      Findings& findings) {
  if (!last_hints_reading(boot) && !boot.named.contains(std::string_view(shown)))
    findings.push_back(finding(shown, "is not read at the next boot: no loader_conf_files setting names it"));
  for (const std::size_t line : alone.rejected_lines) {
    findings.push_back(finding(shown, "line " + std::to_string(line) +
                                          ": the boot loader reads no setting from this line"));
  }
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
    findings.push_back(core_finding(boot, alone, *hints_reading, shown, core.apic_id));
  }
}

void print_findings(const Findings& findings) {
  for (const std::string& line : findings) report("%s", line.c_str());
}

}  // namespace

int verify_next_boot(CoreTable& table, const char* root, const char* hints_path) {
  Findings findings;
  try {
    const std::string hints_file = path_under_root(root, hints_path);
    HintsAlone alone;
    BootConfiguration boot;
    std::vector<bool> alone_modes;
    {
      // Under a shared lock, an update in progress is never read half written.
      const FileDescriptor lock = begin_reading(hints_file.c_str());
      read_hints_alone(hints_file, hints_path, alone, findings);
      read_boot_configuration(root, alone.identity ? &*alone.identity : nullptr, boot);
    }
    alone_modes = next_boot_modes(table, alone.environment);
    next_boot_modes(table, boot.environment);

    judge_hints_file(boot, alone, hints_path, findings);
    for (const std::string& line : boot.findings) {
      if (std::find(findings.begin(), findings.end(), line) == findings.end()) findings.push_back(line);
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
  // report() puts the report out first, also when both go to one place.
  print_findings(findings);
  return findings.empty() ? 0 : kNextBootDiffers;
}
