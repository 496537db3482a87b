// SPDX-License-Identifier: BSD-2-Clause
#include "hints/boot_verify.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
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

/// Why a core's next boot differs from the hints file: the line that set
/// the hint the kernel goes by.
std::string override_finding(const BootConfiguration& boot, const HintsAlone& alone,
                             std::size_t hints_reading, const char* shown, std::uint32_t apic_id) {
  std::string_view name = kernel_disable_hint(boot.environment, apic_id);
  if (name.empty()) name = kernel_disable_hint(alone.environment, apic_id);
  const auto origin = boot.origins.find(name);
  if (origin == boot.origins.end() || boot.files[origin->second.file].is_hints_file)
    return finding(shown, "does not decide APIC id " + std::to_string(apic_id) + " at the next boot");
  const std::string where = " line " + std::to_string(origin->second.line) + " sets " + std::string(name);
  const std::string& other = boot.files[origin->second.file].name;
  if (origin->second.file > hints_reading)
    return finding(other, where.substr(1) + " after \"" + shown + "\"");
  return finding(other, where.substr(1) + " and \"" + shown + "\" does not override it");
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
    findings.push_back(override_finding(boot, alone, *hints_reading, shown, core.apic_id));
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
  } catch (const std::bad_alloc&) {
    report("error reading the boot configuration: %s", std::strerror(ENOMEM));
    return ENOMEM;
  }
  print_core_modes(table);
  // report() puts the report out first, also when both go to one place.
  print_findings(findings);
  return findings.empty() ? 0 : kNextBootDiffers;
}
