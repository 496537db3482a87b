// SPDX-License-Identifier: BSD-2-Clause
#include "hints/core_report.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "hints/loader_lines.h"
#include "hints/update_files.h"

namespace {

/// Both modes are eight characters wide, so the columns line up.
const char* mode_text(bool shared) { return shared ? " shared " : "isolated"; }

/// Only disable hints of known cores are kept: the rest cannot change a row,
/// and a file naming millions of other ids then costs no memory.
bool names_known_core(CoreTable& table, std::string_view name) {
  const std::optional<KernelHintName> hint = read_kernel_hint_name(name);
  return hint && is_disable_hint(*hint) && hint->unit_in_range &&
         lookup_core(table, static_cast<std::uint32_t>(hint->unit)) != nullptr;
}

void commit_pending(LoaderEnvironment& environment) {
  auto& pending = environment.pending;
  if (!pending.waiting) return;
  pending.waiting = false;
  environment.values.insert_or_assign(std::move(pending.name), std::move(pending.value));
}

/// The rest of a long line decides whether the loader reads its setting:
/// only white space, then perhaps a comment, may follow the value.
void judge_continuation(const LineBuffer& line, LoaderEnvironment& environment) {
  auto& pending = environment.pending;
  if (!pending.waiting) return;
  const LoaderLine rest = read_loader_line({line.text.data(), line.length});
  if (rest.kind != LoaderLineKind::Ignored) {
    pending.waiting = false;
  } else if (rest.ends_in_comment || line.text[line.length - 1] == '\n') {
    commit_pending(environment);
  }
}

/// A piece that fills the buffer without ending its line may go on.
bool may_continue(const LineBuffer& line) {
  return line.length == kMaxLineLength && line.text[line.length - 1] != '\n';
}

/// The current first-piece line, when the loader sets a known core's disable hint from it.
void read_setting(const LineBuffer& line, CoreTable& table, LoaderEnvironment& environment) {
  const LoaderLine setting = read_loader_line({line.text.data(), line.length});
  if (setting.kind != LoaderLineKind::Setting || !names_known_core(table, setting.name)) return;
  // A value cut at the end of the piece goes on past what was read: not read.
  if (setting.value_at_end && may_continue(line)) return;
  std::optional<std::string> value = loader_value(setting, nullptr);
  if (!value) return;
  auto& pending = environment.pending;
  pending.name = setting.name;
  pending.value = std::move(*value);
  pending.waiting = true;
  if (!may_continue(line) || setting.ends_in_comment) commit_pending(environment);
}

}  // namespace

bool is_disabled_value(std::string_view value) {
  return read_kernel_number(value) == KernelNumber::NonZero;
}

int read_next_boot_mode(LineBuffer& line, CoreTable& table, bool /*final_pass*/) {
  if (table.environment == nullptr) return 0;
  LoaderEnvironment& environment = *table.environment;
  try {
    if (line.continues_line) {
      judge_continuation(line, environment);
      return 0;
    }
    commit_pending(environment);
    read_setting(line, table, environment);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

void apply_next_boot_modes(CoreTable& table, LoaderEnvironment& environment) {
  commit_pending(environment);
  for (std::uint32_t i = 0; table.entries && i < table.cpu_count; ++i) {
    CoreEntry& core = table.entries[i];
    // The kernel never withholds the boot processor.
    if (i == 0) {
      core.shared_next = 1;
      continue;
    }
    const std::optional<bool> disabled = kernel_disables(environment, core.apic_id);
    if (disabled) core.shared_next = *disabled ? 0 : 1;
  }
}

namespace {

/// Collects into a fresh environment for the length of one reading pass.
struct ReadingPass {
  CoreTable& table;
  LoaderEnvironment environment;
  explicit ReadingPass(CoreTable& t) : table(t) { table.environment = &environment; }
  ~ReadingPass() { table.environment = nullptr; }
  ReadingPass(const ReadingPass&) = delete;
  ReadingPass& operator=(const ReadingPass&) = delete;
};

}  // namespace

int read_next_boot_modes(std::FILE* input, CoreTable& table) {
  ReadingPass pass(table);
  const int status = filter_lines(input, nullptr, read_next_boot_mode, &table);
  if (status == 0) apply_next_boot_modes(table, pass.environment);
  return status;
}

int print_core_mode_report(CoreTable& table, const char* hints_path) {
  // Under a shared lock, an update in progress is never read half written. A
  // hints file that will not open has been named on standard output; the
  // next-boot column then shows the modes as the table has them.
  {
    int error = 0;
    const FileDescriptor hints = open_for_reading(hints_path, error);
    const FilePtr text = hints.valid() ? read_from_start(hints.get()) : nullptr;
    if (text) read_next_boot_modes(text.get(), table);
  }

  print_core_modes(table);
  return 0;
}

void print_core_modes(const CoreTable& table) {
  std::printf("  CPU | LApic-ID | mode now | mode next boot\r\n");
  std::printf("----------------------------------------------\n");
  for (std::uint32_t i = 0; table.entries && i < table.cpu_count; ++i) {
    const CoreEntry& core = table.entries[i];
    std::printf("  %3d |    %02x    | %s |    %s\r\n", static_cast<int>(i), core.apic_id,
                mode_text(core.shared_now != 0), mode_text(core.shared_next != 0));
  }
}
