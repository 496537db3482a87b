// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/update_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/diagnostics.h"
#include "common/interrupted_calls.h"

namespace {

int open_file(const char* path, int flags) {
  return retry_interrupted([&] { return ::open(path, flags | O_CLOEXEC); });
}

/// The backup is read back by a restore: it must not be wider than the file
/// it copies, and as root it keeps that file's owner.
bool take_hints_ownership(int fd, const HintsFile& hints) {
  if (::geteuid() == 0 && ::fchown(fd, hints.status.st_uid, hints.status.st_gid) != 0) return false;
  return ::fchmod(fd, hints.status.st_mode & 0777) == 0;
}

/// Copies the whole text of `from` into `to`, puts it on the disk and closes
/// it; `summary` describes what was copied.
bool copy_to_disk(int from, FileDescriptor to, TextSummary& summary) {
  TextHash hash;
  std::array<unsigned char, 65536> block;
  for (;;) {
    const auto offset = static_cast<off_t>(hash.length());
    const ssize_t got =
        retry_interrupted([&] { return ::pread(from, block.data(), block.size(), offset); });
    if (got < 0) return false;
    if (got == 0) break;
    if (!write_whole(to.get(), block.data(), static_cast<std::size_t>(got))) return false;
    hash.add(block.data(), static_cast<std::size_t>(got));
  }
  summary = summary_of(hash);
  return retry_interrupted([&] { return ::fsync(to.get()); }) == 0 && ::close(to.release()) == 0;
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

/// The end of a copy back whose text is on the disk: the mark goes, then the
/// marker. Without the mark a marker is stale, whatever the file holds later;
/// a mark without its marker would stop the next update, so the marker stays
/// while the mark does.
void unmark_written_file(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints) {
  if (set_copy_back_mark(hints.fd.get(), hints, false) && remove_marker(paths)) return;
  // It is stale now: no later run believes it, and the next update removes it.
  report("error removing \"%s\": the copy back into \"%s\" is complete",
               paths.marker.data(), hints_path);
}

/// Puts the marker for a copy back on the disk, then the mark on the hints
/// file. A restore over a torn file keeps the marker that says it is torn:
/// its record tells the torn text from the restored one as well, and a new
/// one may need room the disk lacks.
bool mark_copy_back(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                    bool file_is_whole) {
  CopyBackRecord current;
  const bool marker_stands =
      !file_is_whole && inspect_marker(paths, hints, current) == MarkerState::Interrupted;
  if (!marker_stands && !write_marker(paths, hints, record, file_is_whole)) return false;
  if (set_copy_back_mark(hints.fd.get(), hints, true)) return true;
  // The bit may be set and only its flush have failed.
  if (file_is_whole && set_copy_back_mark(hints.fd.get(), hints, false)) remove_marker(paths);
  return false;
}

/// A copy back that failed before it changed a byte (a full disk) left the
/// old text whole: then only the mark and the marker have to go, which needs
/// no room.
bool already_holds(const HintsFile& hints, const TextSummary& text, const char* hints_path,
                   const UpdatePaths& paths) {
  TextSummary now;
  if (!summarize_text(hints.fd.get(), now) || !(now == text)) return false;
  unmark_written_file(hints_path, paths, hints);
  return true;
}

/// One line on standard error when the hints file may be torn.
void report_earlier_update(const char* hints_path, const HintsFile& hints) {
  UpdatePaths paths{};
  if (!S_ISREG(hints.status.st_mode) || !make_update_paths(hints_path, paths)) return;
  CopyBackRecord record;
  const MarkerState state = inspect_marker(paths, hints, record);
  if (state != MarkerState::Interrupted) {
    report_doubt(state, hints_path, paths);
    return;
  }
  // One literal, so the manual page's check of the messages sees all of it.
  report("incomplete \"%s\" after an interrupted update: the next update restores it from \"%s\"",
               hints_path, paths.backup.data());
}

}  // namespace

bool open_hints_for_update(const char* hints_path, const UpdatePaths& paths, HintsFile& hints) {
  // Without O_NONBLOCK a FIFO would hold the run here for ever. The file
  // itself is opened: a link swapped in since its name was followed is refused.
  FileDescriptor fd(open_file(paths.file.data(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
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

FileDescriptor open_for_reading(const char* hints_path, int& error) {
  HintsFile hints;
  hints.fd = FileDescriptor(open_file(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (hints.fd.valid() && ::fstat(hints.fd.get(), &hints.status) != 0) {
    hints.fd = FileDescriptor();
  } else if (hints.fd.valid() && !S_ISREG(hints.status.st_mode)) {
    hints.fd = FileDescriptor();
    errno = S_ISDIR(hints.status.st_mode) ? EISDIR : EINVAL;
  }
  if (!hints.fd.valid()) {
    error = report_open_failure(hints_path);
    return FileDescriptor();
  }
  // A file system without locks is read all the same.
  lock_file(hints.fd.get(), LOCK_SH);
  report_earlier_update(hints_path, hints);
  return std::move(hints.fd);
}

FileDescriptor begin_reading(const char* hints_path) {
  HintsFile hints;
  hints.fd = FileDescriptor(open_file(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  if (!hints.fd.valid() || !lock_file(hints.fd.get(), LOCK_SH)) return FileDescriptor();
  if (::fstat(hints.fd.get(), &hints.status) == 0) report_earlier_update(hints_path, hints);
  return std::move(hints.fd);
}

void report_doubt(MarkerState state, const char* hints_path, const UpdatePaths& paths) {
  if (state != MarkerState::Unreadable && state != MarkerState::NotItsMarker) return;
  // Whole literals, so the manual page's check of the messages sees them.
  if (state == MarkerState::Unreadable) {
    report("cannot tell whether \"%s\" is whole: \"%s\" cannot be read or checked", hints_path,
           paths.marker.data());
  } else {
    report("cannot tell whether \"%s\" is whole: its copy back was interrupted, and \"%s\" is not its marker",
           hints_path, paths.marker.data());
  }
}

FilePtr read_from_start(int fd) {
  FileDescriptor copy(::dup(fd));
  if (!copy.valid() || ::lseek(copy.get(), 0, SEEK_SET) != 0) return nullptr;
  FilePtr stream(::fdopen(copy.get(), "r"));
  if (!stream) return nullptr;
  copy.release();
  std::setvbuf(stream.get(), nullptr, _IONBF, 0);
  return stream;
}

bool write_backup(const UpdatePaths& paths, const HintsFile& hints, CopyBackRecord& record) {
  AsidePath aside{};
  FileDescriptor fd = make_aside_file(paths, aside);
  if (!fd.valid()) {
    report_open_failure(paths.backup.data());
    return false;
  }
  // The copy back's record names the backup as it is once written.
  struct stat backup {};
  const int written = fd.get();
  bool made = take_hints_ownership(written, hints) && ::fstat(written, &backup) == 0 &&
              copy_to_disk(hints.fd.get(), std::move(fd), record.backup_text);
  if (made && !rename_to_backup(aside, paths)) {
    report_open_failure(paths.backup.data());
    made = false;
  }
  if (!made) {
    ::unlink(aside.data());
    return false;
  }
  record.hints_inode = static_cast<std::uintmax_t>(hints.status.st_ino);
  record.backup_inode = static_cast<std::uintmax_t>(backup.st_ino);
  return sync_directory(paths.directory.data());
}

CopyBack rewrite_hints_file(int text_fd, const char* hints_path, const UpdatePaths& paths,
                            const HintsFile& hints, CopyBackRecord record, bool file_is_whole) {
  if (!summarize_text(text_fd, record.new_text)) return CopyBack::NotMarked;
  FileDescriptor fd(open_file(paths.file.data(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW));
  if (!fd.valid()) {
    report_open_failure(hints_path);
    return CopyBack::NotOpened;
  }
  struct stat status {};
  // The text goes into the file that was locked and backed up, or nowhere.
  if (::fstat(fd.get(), &status) != 0 || !same_file(status, hints.status)) return CopyBack::NotOpened;
  if (!mark_copy_back(paths, hints, record, file_is_whole)) return CopyBack::NotMarked;
  if (::ftruncate(fd.get(), 0) != 0) {
    if (file_is_whole && set_copy_back_mark(hints.fd.get(), hints, false)) remove_marker(paths);
    return CopyBack::NotCut;
  }
  // A failed copy leaves the marker and the mark: the file stays torn until it is restored.
  TextSummary copied;
  if (!copy_to_disk(text_fd, std::move(fd), copied)) return CopyBack::Torn;
  unmark_written_file(hints_path, paths, hints);
  return CopyBack::Written;
}

bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints,
                         const CopyBackRecord& expected) {
  const FileDescriptor fd(open_file(paths.backup.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  struct stat backup {};
  TextSummary text;
  // Only the backup the record names, with the text it records: another
  // user's hard link to it changes neither.
  const bool usable = fd.valid() && ::fstat(fd.get(), &backup) == 0 && S_ISREG(backup.st_mode) &&
                      static_cast<std::uintmax_t>(backup.st_ino) == expected.backup_inode &&
                      summarize_text(fd.get(), text) && text == expected.backup_text;
  if (fd.valid() && !usable) errno = ESTALE;
  if (usable && (already_holds(hints, text, hints_path, paths) ||
                 rewrite_hints_file(fd.get(), hints_path, paths, hints, expected, false) ==
                     CopyBack::Written))
    return true;
  if (!fd.valid()) report_open_failure(paths.backup.data());
  report("error restoring \"%s\": its previous text is in \"%s\"", hints_path,
               paths.backup.data());
  return false;
}

void clear_stale_marker(const UpdatePaths& paths, const HintsFile& hints) {
  struct stat now {};
  if (::fstat(hints.fd.get(), &now) != 0) return;
  if (is_marked(now) && !set_copy_back_mark(hints.fd.get(), hints, false)) return;
  remove_marker(paths);
}
