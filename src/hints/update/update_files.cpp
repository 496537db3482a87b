// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/update_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/diagnostics.h"
#include "common/interrupted_calls.h"
#include "hints/update/file_copy.h"

namespace {

int open_file(const char* path, int flags) {
  return retry_interrupted([&] { return ::open(path, flags | O_CLOEXEC); });
}

/// Opens `path` for reading without following a link, and only when it is trusted.
FileDescriptor open_trusted(const char* path, const HintsFile& hints, struct stat& status) {
  FileDescriptor fd(open_file(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.valid()) return fd;
  if (::fstat(fd.get(), &status) != 0 || !is_trusted(status, hints)) {
    errno = EPERM;
    return FileDescriptor();
  }
  return fd;
}

/// The backup is read back by a restore: it must not be wider than the file
/// it copies, and as root it keeps that file's owner.
bool take_hints_ownership(int fd, const HintsFile& hints) {
  if (::geteuid() == 0 && ::fchown(fd, hints.status.st_uid, hints.status.st_gid) != 0) return false;
  return ::fchmod(fd, hints.status.st_mode & 0777) == 0;
}

/// Renames the finished backup into place; a folder planted at the name
/// since the update began is moved aside, and the rename tried once more.
bool rename_to_backup(const AsidePath& aside, const UpdatePaths& paths) {
  if (::rename(aside.data(), paths.backup.data()) == 0) return true;
  return errno == EISDIR && move_aside_if_planted(paths, paths.backup.data()) &&
         ::rename(aside.data(), paths.backup.data()) == 0;
}

/// Waits for `mode` (LOCK_SH or LOCK_EX) on `fd`; false when it is refused.
bool lock_file(int fd, int mode) {
  return retry_interrupted([&] { return ::flock(fd, mode); }) == 0;
}

/// The end of a copy back whose text is on the disk: the marker goes.
void unmark_written_file(const char* hints_path, const UpdatePaths& paths) {
  if (remove_marker(paths)) return;
  // It is stale now: no later run believes it, and the next update removes it.
  flush_standard_output();
  std::fprintf(stderr, "error removing \"%s\": the copy back into \"%s\" is complete\n",
               paths.marker.data(), hints_path);
  std::fflush(stderr);
}

/// Puts the marker for a copy back on the disk. A restore over a torn file
/// keeps the marker that says it is torn: its record tells the torn text from
/// the restored one as well, and a new one may need room the disk lacks.
bool mark_copy_back(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                    bool file_is_whole) {
  CopyBackRecord current;
  if (!file_is_whole && inspect_marker(paths, hints, current) == MarkerState::Interrupted)
    return true;
  return write_marker(paths, hints, record, file_is_whole);
}

/// A copy back that failed before it changed a byte (a full disk) left the
/// old text whole: then only the marker has to go, which needs no room.
bool already_holds(const HintsFile& hints, int text_fd, const char* hints_path,
                   const UpdatePaths& paths) {
  TextSummary now, text;
  if (!summarize_text(hints.fd.get(), now) || !summarize_text(text_fd, text) || !(now == text))
    return false;
  unmark_written_file(hints_path, paths);
  return true;
}

}  // namespace

bool open_hints_for_update(const char* hints_path, HintsFile& hints) {
  // Without O_NONBLOCK a FIFO would hold the run here for ever.
  FileDescriptor fd(open_file(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    report_open_failure(hints_path);
    return false;
  }
  if (::fstat(fd.get(), &hints.status) != 0 || !S_ISREG(hints.status.st_mode) ||
      !lock_file(fd.get(), LOCK_EX))
    return false;
  hints.fd = std::move(fd);
  return true;
}

FilePtr read_from_start(int fd) {
  FileDescriptor copy(::dup(fd));
  if (!copy.valid() || ::lseek(copy.get(), 0, SEEK_SET) != 0) return nullptr;
  FilePtr stream(::fdopen(copy.get(), "r"));
  if (stream) copy.release();
  return stream;
}

bool write_backup(const UpdatePaths& paths, const HintsFile& hints, struct stat& backup) {
  AsidePath aside{};
  FileDescriptor fd = make_aside_file(paths, aside);
  if (!fd.valid()) {
    report_open_failure(paths.backup.data());
    return false;
  }
  const FilePtr text = read_from_start(hints.fd.get());
  // The copy back's record names the backup as it is once written.
  const FileDescriptor written(::dup(fd.get()));
  bool made = text && written.valid() && take_hints_ownership(fd.get(), hints) &&
              copy_text(text.get(), std::move(fd)) == 0 &&
              ::fstat(written.get(), &backup) == 0;
  if (made && !rename_to_backup(aside, paths)) {
    report_open_failure(paths.backup.data());
    made = false;
  }
  if (!made) {
    ::unlink(aside.data());
    return false;
  }
  return sync_directory(paths.directory.data());
}

CopyBack rewrite_hints_file(int text_fd, const char* hints_path, const UpdatePaths& paths,
                            const HintsFile& hints, const struct stat& backup, bool file_is_whole) {
  TextSummary summary;
  if (!summarize_text(text_fd, summary)) return CopyBack::NotMarked;
  FileDescriptor fd(open_file(hints_path, O_WRONLY | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    report_open_failure(hints_path);
    return CopyBack::NotOpened;
  }
  struct stat status {};
  // The text goes into the file that was locked and backed up, or nowhere.
  if (::fstat(fd.get(), &status) != 0 || !same_file(status, hints.status)) return CopyBack::NotOpened;
  if (!mark_copy_back(paths, hints, make_record(hints.status, backup, summary), file_is_whole))
    return CopyBack::NotMarked;
  if (::ftruncate(fd.get(), 0) != 0) {
    if (file_is_whole) remove_marker(paths);
    return CopyBack::NotCut;
  }
  const FilePtr text = read_from_start(text_fd);
  // A failed copy leaves the marker: the file stays torn until it is restored.
  if (!text || copy_text(text.get(), std::move(fd)) != 0) return CopyBack::Torn;
  unmark_written_file(hints_path, paths);
  return CopyBack::Written;
}

bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints,
                         const CopyBackRecord& expected) {
  struct stat backup {};
  const FileDescriptor fd = open_trusted(paths.backup.data(), hints, backup);
  if (fd.valid() && (static_cast<std::uintmax_t>(backup.st_dev) != expected.backup_device ||
                     static_cast<std::uintmax_t>(backup.st_ino) != expected.backup_inode))
    errno = ESTALE;
  else if (fd.valid() && (already_holds(hints, fd.get(), hints_path, paths) ||
                          rewrite_hints_file(fd.get(), hints_path, paths, hints, backup, false) ==
                              CopyBack::Written))
    return true;
  if (!fd.valid()) report_open_failure(paths.backup.data());
  flush_standard_output();
  std::fprintf(stderr, "error restoring \"%s\": its previous text is in \"%s\"\n", hints_path,
               paths.backup.data());
  std::fflush(stderr);
  return false;
}

FileDescriptor begin_reading(const char* hints_path) {
  HintsFile hints;
  hints.fd = FileDescriptor(open_file(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!hints.fd.valid() || !lock_file(hints.fd.get(), LOCK_SH)) return FileDescriptor();

  UpdatePaths paths{};
  CopyBackRecord record;
  if (::fstat(hints.fd.get(), &hints.status) == 0 && S_ISREG(hints.status.st_mode) &&
      make_update_paths(hints_path, paths) &&
      inspect_marker(paths, hints, record) == MarkerState::Interrupted) {
    // One literal, so the manual page's check of the messages sees all of it.
    flush_standard_output();
    std::fprintf(stderr, "incomplete \"%s\" after an interrupted update: the next update restores it from \"%s\"\n",
                 hints_path, paths.backup.data());
    std::fflush(stderr);
  }
  return std::move(hints.fd);
}
