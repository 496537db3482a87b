// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/loader_file_pass.h"

#include <cerrno>
#include <new>
#include <string_view>

#include "hints/loader/kernel_hints.h"

void LoaderFilePass::start_file(std::size_t file_index) {
  file_index_ = file_index;
  line_number_ = 0;
  rejected_lines.clear();
  loader_conf_files.reset();
}

int LoaderFilePass::read_boot_setting(LineBuffer& line) {
  try {
    if (!line.continues_line) ++line_number_;
    reader_.feed({line.text.data(), line.length});
    if (line.ends_line) apply(reader_.finish());
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

void LoaderFilePass::apply(const LoaderLine& line) {
  if (line.kind == LoaderLineKind::Malformed) {
    if (keep_rejected_lines) rejected_lines.push_back(line_number_);
    return;
  }
  // A name too long to keep is no name the kernel or the loader's own
  // settings look for.
  if (line.kind != LoaderLineKind::Setting || line.name_cut) return;
  if (line.name == "loader_conf_files") {
    loader_conf_files = line.value.text;
    return;
  }
  environment_.set(line.name, line.value);
  if ((watched == nullptr && entry_log == nullptr) || !is_watched_setting(line.name)) return;
  if (watched != nullptr) watch(line, *watched);
  if (entry_log != nullptr) watch(line, *entry_log);
}

void LoaderFilePass::watch(const LoaderLine& line, WatchedSettings& settings) const {
  const WatchedSetting setting{{file_index_, line_number_}, line.value.number};
  const auto found = settings.find(std::string_view(line.name));
  if (found != settings.end()) {
    found->second = setting;
  } else {
    settings.emplace(line.name, setting);
  }
}

bool is_watched_setting(std::string_view name) {
  if (name == "kern.smp.topology" || name == "kern.smp.disabled") return true;
  const std::optional<KernelHintName> hint = read_kernel_hint_name(name);
  return hint && (is_disable_hint(*hint) || is_clock_hint(*hint));
}
