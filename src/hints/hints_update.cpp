#include "hints/hints_update.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cli/options.h"
#include "hints/core_index.h"
#include "common/file_handles.h"
#include "hints/hint_rules.h"
#include "hints/line_filter.h"

namespace {

constexpr int kBackupFailed = -5;
constexpr int kEditFailed = -6;
constexpr int kCopyBackFailed = -7;

/// A backup or temporary path: at most 255 characters and the NUL. The backup
/// path is kept until the end, for a restore after a failed copy back.
using PathBuffer = std::array<char, 256>;

/// ".KxBak" must fit whole: a cut-short backup name could be the hints file
/// itself, or some other file beside it.
constexpr std::size_t kMaxHintsPathForBackup = 255 - 6;

constexpr char kTemporaryTemplate[] = "/tmp/rididezuve-XXXXXX";

int report_failure(int status, const char* hints_path) {
  const char* prefix = status == kBackupFailed ? "error creating backup file of \""
                       : status == kEditFailed ? "error changing \""
                                               : "error writing \"";
  std::fprintf(stderr, "%s%s\"\n", prefix, hints_path);
  std::fflush(stderr);
  return status;
}

/// Takes an exclusive advisory lock on the hints file, so that two updates
/// cannot interleave their writes; a second run waits. A file that will not
/// open is left to the backup copy, which names it; false when the lock
/// itself is refused.
bool lock_hints_file(const char* hints_path, FileDescriptor& lock) {
  FileDescriptor fd(::open(hints_path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return true;
  int result;
  do {
    result = ::flock(fd.get(), LOCK_EX);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return false;
  lock = std::move(fd);
  return true;
}

bool make_backup_path(const char* hints_path, PathBuffer& path) {
  if (std::strlen(hints_path) > kMaxHintsPathForBackup) return false;
  const int written = std::snprintf(path.data(), path.size(), "%s.KxBak", hints_path);
  return written > 0 && static_cast<std::size_t>(written) < path.size();
}

/// Creates a fresh temporary file (owner-only) and names it in `path`; the
/// descriptor is not needed, the edit pass opens the file again by name.
bool make_temporary_file(PathBuffer& path) {
  static_assert(sizeof kTemporaryTemplate <= std::tuple_size_v<PathBuffer>);
  std::memcpy(path.data(), kTemporaryTemplate, sizeof kTemporaryTemplate);
  const FileDescriptor fd(::mkstemp(path.data()));
  return fd.valid();
}

/// After a copy back that truncated the hints file and then failed, puts the
/// previous text back from the backup so the boot loader never sees a cut-short file.
void restore_from_backup(const char* hints_path, const char* backup_path) {
  if (filter_file(backup_path, hints_path, nullptr, nullptr) == 0) return;
  std::fprintf(stderr, "error restoring \"%s\": its previous text is in \"%s\"\n", hints_path,
               backup_path);
  std::fflush(stderr);
}

int update_in_place(CoreTable& table, const char* hints_path) {
  PathBuffer backup_path{};
  if (!make_backup_path(hints_path, backup_path))
    return report_failure(kBackupFailed, hints_path);
  FileDescriptor lock;
  if (!lock_hints_file(hints_path, lock)) return report_failure(kBackupFailed, hints_path);
  if (filter_file(hints_path, backup_path.data(), nullptr, nullptr) != 0)
    return report_failure(kBackupFailed, hints_path);

  PathBuffer temporary_path{};
  if (!make_temporary_file(temporary_path)) return report_failure(kEditFailed, hints_path);
  {
    const ScopedCoreIndex index(table);
    if (filter_file(hints_path, temporary_path.data(), rewrite_hint_line, &table) != 0)
      return report_failure(kEditFailed, hints_path);
  }

  bool hints_opened = false;
  if (filter_file(temporary_path.data(), hints_path, nullptr, nullptr, &hints_opened) != 0) {
    // The temporary file keeps the new text; the hints file gets the old one back.
    report_failure(kCopyBackFailed, hints_path);
    if (hints_opened) restore_from_backup(hints_path, backup_path.data());
    return kCopyBackFailed;
  }
  std::remove(temporary_path.data());
  return 0;
}

}  // namespace

int update_hints_file(CoreTable& table, const char* hints_path) {
  if ((table.flags & ToStdout) != 0) {
    const ScopedCoreIndex index(table);
    return filter_file_to_stdout(hints_path, rewrite_hint_line, &table);
  }
  return update_in_place(table, hints_path);
}
