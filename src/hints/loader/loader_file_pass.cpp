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
  bounded_lines.clear();
  loader_conf_files.reset();
}

int LoaderFilePass::read_boot_setting(LineBuffer& line) {
  if (line.length > bytes_left) return EFBIG;
  bytes_left -= line.length;
  try {
    if (!line.continues_line) ++line_number_;
    reader_.feed({line.data, line.length});
    if (line.ends_line) apply(reader_.finish());
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  return 0;
}

void LoaderFilePass::apply(const LoaderLine& line) {
  // A spent budget changes later lines, whatever this one is.
  if (line.bound == ValueBound::BudgetSpent) note_bound(LineBound::ExpansionBudgetSpent);
  if (line.kind == LoaderLineKind::Malformed) {
    if (keep_rejected_lines) {
      if (rejected_lines.size() <= line_number_) rejected_lines.resize(line_number_ + 1);
      rejected_lines[line_number_] = true;
    }
    return;
  }
  // A name too long to keep is no name the kernel or the loader's own
  // settings look for.
  if (line.kind != LoaderLineKind::Setting || line.name_cut) return;
  if (line.bound == ValueBound::CutAfterText) note_bound(LineBound::ValueCutAfterText);
  if (line.name == "loader_conf_files") {
    loader_conf_files = line.value.text;
    return;
  }
  if (environment_.values.size() >= max_names && environment_.find(line.name) == nullptr) {
    if (!names_full_) note_bound(LineBound::NamesFull);
    names_full_ = true;
    return;
  }
  if (snapshot != nullptr && snapshot->names.contains(line.name) && !snapshot->before.contains(line.name)) {
    const auto held = environment_.values.find(line.name);
    std::optional<LoaderValue> value;
    if (held != environment_.values.end()) value = std::move(held->second);
    snapshot->before.emplace(line.name, std::move(value));
  }
  environment_.set(line.name, line.value);
  if ((watched == nullptr && folder_log == nullptr) || !is_watched_setting(line.name)) return;
  if (watched != nullptr) watch(line, *watched);
  if (folder_log != nullptr) log_in_folder(line);
}

void LoaderFilePass::note_bound(LineBound bound) {
  if (keep_bounded_lines) bounded_lines.push_back({line_number_, bound});
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

void LoaderFilePass::log_in_folder(const LoaderLine& line) const {
  const WatchedSetting setting{{file_index_, line_number_}, line.value.number};
  auto found = folder_log->by_name.find(std::string_view(line.name));
  if (found == folder_log->by_name.end()) found = folder_log->by_name.try_emplace(line.name).first;
  auto& settings = found->second;
  if (!settings.empty() && settings.back().first == folder_log->entry) {
    settings.back().second = setting;
  } else {
    settings.emplace_back(folder_log->entry, setting);
  }
}

const LoaderValue* ValueSnapshot::find(const LoaderEnvironment& environment, std::string_view name) const {
  const auto saved = before.find(name);
  if (saved == before.end()) return environment.find(name);
  const std::optional<LoaderValue>& value = saved->second;
  return value ? &*value : nullptr;
}

bool is_watched_setting(std::string_view name) {
  if (name == "kern.smp.topology" || name == "kern.smp.disabled") return true;
  const std::optional<KernelHintName> hint = read_kernel_hint_name(name);
  return hint && (is_disable_hint(*hint) || is_clock_hint(*hint));
}
