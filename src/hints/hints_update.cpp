// SPDX-License-Identifier: BSD-2-Clause
#include "hints/hints_update.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/diagnostics.h"
#include "common/file_handles.h"
#include "hints/update/copy_back_marker.h"
#include "hints/update/held_signals.h"
#include "hints/hint_rules.h"
#include "common/interrupted_calls.h"
#include "hints/loader/line_filter.h"
#include "hints/update/update_files.h"

namespace {

constexpr int kBackupFailed = -5;
constexpr int kEditFailed = -6;
constexpr int kCopyBackFailed = -7;
constexpr int kEarlierUpdateUnclear = -8;

constexpr char kTemporaryTemplate[] = "/tmp/rididezuve-XXXXXX";

int report_failure(int status, const char* hints_path) {
  const char* prefix = status == kBackupFailed ? "error creating backup file of \""
                       : status == kEditFailed ? "error changing \""
                                               : "error writing \"";
  report("%s%s\"", prefix, hints_path);
  return status;
}

/// Creates a fresh temporary file (owner-only) and names it in `path`.
FileDescriptor make_temporary_file(PathBuffer& path) {
  static_assert(sizeof kTemporaryTemplate <= std::tuple_size_v<PathBuffer>);
  // mkstemp changes the template as it tries names: each attempt starts afresh.
  return FileDescriptor(retry_interrupted([&] {
    std::memcpy(path.data(), kTemporaryTemplate, sizeof kTemporaryTemplate);
    return ::mkstemp(path.data());
  }));
}

/// What earlier updates left beside the hints file: names planted where the
/// backup and the marker go are moved aside, leftovers of stopped updates
/// removed, a stale marker removed, and a copy back that stopped part way
/// repaired: the backup goes back first, and is never overwritten by the
/// torn text. What cannot be judged stops the update with everything kept.
/// 0, kBackupFailed (the repair failed) or kEarlierUpdateUnclear.
int settle_earlier_updates(const char* hints_path, const UpdatePaths& paths,
                           const HintsFile& hints) {
  move_aside_if_planted(paths, paths.backup.data());
  move_aside_if_planted(paths, paths.marker.data());
  remove_leftovers(paths, hints);
  CopyBackRecord record;
  const MarkerState state = inspect_marker(paths, hints, record);
  switch (state) {
    case MarkerState::Absent:
      return 0;
    case MarkerState::Stale:
      clear_stale_marker(paths, hints);
      return 0;
    case MarkerState::Unreadable:
    case MarkerState::NotItsMarker:
      report_doubt(state, hints_path, paths);
      return kEarlierUpdateUnclear;
    case MarkerState::Interrupted:
      break;
  }
  if (!restore_from_backup(hints_path, paths, hints, record)) return kBackupFailed;
  report("restored \"%s\" from \"%s\" after an interrupted update", hints_path,
               paths.backup.data());
  return 0;
}

/// The edit pass into a fresh temporary file; the file stays open for the
/// copy back through `temporary`. 0, or the pass's failure.
int edit_into_temporary(CoreTable& table, const HintsFile& hints, PathBuffer& temporary_path,
                        FileDescriptor& temporary) {
  FileDescriptor fd = make_temporary_file(temporary_path);
  if (!fd.valid()) return -1;
  temporary = FileDescriptor(::dup(fd.get()));
  const FilePtr text = read_from_start(hints.fd.get());
  if (!temporary.valid() || !text) return -1;
  EditPass pass(table);
  return filter_into(text.get(), std::move(fd), &pass);
}

/// Copies the new text over the hints file. A failure before the file is cut
/// leaves it untouched; after a copy back that cut the file and then failed,
/// the previous text goes back from the backup.
int copy_back(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints,
              const CopyBackRecord& record, const FileDescriptor& temporary) {
  switch (rewrite_hints_file(temporary.get(), hints_path, paths, hints, record, true)) {
    case CopyBack::Written:
      return 0;
    case CopyBack::NotMarked:
      return report_failure(kEditFailed, hints_path);
    case CopyBack::NotOpened:
    case CopyBack::NotCut:
      return report_failure(kCopyBackFailed, hints_path);
    case CopyBack::Torn:
      break;
  }
  // The temporary file keeps the new text; the hints file gets the old one back.
  report_failure(kCopyBackFailed, hints_path);
  restore_from_backup(hints_path, paths, hints, record);
  return kCopyBackFailed;
}

/// The edit and the copy back, behind a backup that is whole; a signal that
/// came during the edit ends the run before the hints file is touched. Only
/// a failed copy back keeps the temporary file, with the whole new text.
int edit_and_copy_back(CoreTable& table, const char* hints_path, const UpdatePaths& paths,
                       const HintsFile& hints, const CopyBackRecord& record,
                       const HeldSignals& held) {
  PathBuffer temporary_path{};
  FileDescriptor temporary;
  int status = edit_into_temporary(table, hints, temporary_path, temporary);
  if (status != 0) {
    status = report_failure(kEditFailed, hints_path);
  } else if (held.pending()) {
    status = kEditFailed;
  } else {
    status = copy_back(hints_path, paths, hints, record, temporary);
  }
  if (temporary.valid() && status != kCopyBackFailed) std::remove(temporary_path.data());
  return status;
}

int update_in_place(CoreTable& table, const char* hints_path) {
  UpdatePaths paths{};
  if (!make_update_paths(hints_path, paths)) return report_failure(kBackupFailed, hints_path);
  HintsFile hints;
  if (!open_hints_for_update(hints_path, paths, hints))
    return report_failure(kBackupFailed, hints_path);

  // From here until the files are whole again, a signal waits; a run that it
  // stops before the copy back leaves the hints file and no temporary file.
  const HeldSignals held;
  const int settled = settle_earlier_updates(hints_path, paths, hints);
  if (settled == kEarlierUpdateUnclear) return settled;
  CopyBackRecord record;
  if (settled != 0 || !write_backup(paths, hints, record))
    return report_failure(kBackupFailed, hints_path);
  if (held.pending()) return kEditFailed;
  return edit_and_copy_back(table, hints_path, paths, hints, record, held);
}

/// The dry run reads under a shared lock, so it never shows an update half
/// written; only a regular file is read.
int edit_to_stdout(CoreTable& table, const char* hints_path) {
  int error = 0;
  const FileDescriptor hints = open_for_reading(hints_path, error);
  if (!hints.valid()) return error;
  const FilePtr text = read_from_start(hints.get());
  if (!text) return errno != 0 ? errno : ENOMEM;
  EditPass pass(table);
  return filter_lines(text.get(), stdout, &pass);
}

}  // namespace

int update_hints_file(CoreTable& table, const char* hints_path) {
  if ((table.flags & ToStdout) != 0) return edit_to_stdout(table, hints_path);
  return update_in_place(table, hints_path);
}
