// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/diagnostics.h"
#include "hints/line_filter.h"

namespace {

/// ".KxBak" and ".KxCpy" must fit whole: a cut-short name could be the hints
/// file itself, or some other file beside it.
constexpr std::size_t kMaxHintsPath = 255 - 6;

/// The new backup's name while it is written: in the backup's folder, so the
/// rename stays on one file system, and made by mkstemp, so nothing planted
/// there can be opened in its place.
constexpr char kAsideName[] = "/.rididezuve-XXXXXX";
using AsidePath = std::array<char, sizeof(PathBuffer) + sizeof kAsideName>;

bool format_path(PathBuffer& path, const char* hints_path, const char* suffix) {
  const int written = std::snprintf(path.data(), path.size(), "%s%s", hints_path, suffix);
  return written > 0 && static_cast<std::size_t>(written) < path.size();
}

void directory_of(const char* hints_path, PathBuffer& directory) {
  const char* slash = std::strrchr(hints_path, '/');
  if (slash == nullptr) {
    std::memcpy(directory.data(), ".", 2);
    return;
  }
  // "/x" lives in "/", not in "".
  const std::size_t length = slash == hints_path ? 1 : static_cast<std::size_t>(slash - hints_path);
  std::memcpy(directory.data(), hints_path, length);
  directory[length] = '\0';
}

/// A rename or a removal in a folder lasts only once the folder is on the disk.
bool sync_directory(const char* directory) {
  const FileDescriptor fd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return ::fsync(fd.get()) == 0 || errno == EINVAL;
}

/// A file this run may take as its own: a regular file with no other name
/// (a hard link planted by another user would have one), owned by root, by
/// the user running the update or by the hints file's owner.
bool is_trusted(const struct stat& status, const HintsFile& hints) {
  return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
         (status.st_uid == 0 || status.st_uid == ::geteuid() ||
          status.st_uid == hints.status.st_uid);
}

/// Opens `path` for reading without following a link, and only when it is trusted.
FileDescriptor open_trusted(const char* path, const HintsFile& hints) {
  FileDescriptor fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
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

/// Says on the disk that the hints file is being rewritten, before it is cut.
/// A marker that is already there and trusted is this update's own (a
/// restore after a failed copy back) or an earlier one's (a repair).
bool mark_copy_back(const UpdatePaths& paths, const HintsFile& hints) {
  const FileDescriptor fd(
      ::open(paths.marker.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    struct stat status {};
    return errno == EEXIST && ::lstat(paths.marker.data(), &status) == 0 &&
           is_trusted(status, hints);
  }
  return ::fsync(fd.get()) == 0 && sync_directory(paths.directory.data());
}

void unmark_copy_back(const UpdatePaths& paths) {
  if (::unlink(paths.marker.data()) == 0) sync_directory(paths.directory.data());
}

/// Waits for `mode` (LOCK_SH or LOCK_EX) on `fd`; false when it is refused.
bool lock_file(int fd, int mode) {
  int result;
  do {
    result = ::flock(fd, mode);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

}  // namespace

bool make_update_paths(const char* hints_path, UpdatePaths& paths) {
  if (std::strlen(hints_path) > kMaxHintsPath) return false;
  directory_of(hints_path, paths.directory);
  return format_path(paths.backup, hints_path, ".KxBak") &&
         format_path(paths.marker, hints_path, ".KxCpy");
}

bool open_hints_for_update(const char* hints_path, HintsFile& hints) {
  // Without O_NONBLOCK a FIFO would hold the run here for ever.
  FileDescriptor fd(::open(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

bool write_backup(const UpdatePaths& paths, const HintsFile& hints) {
  AsidePath aside{};
  std::snprintf(aside.data(), aside.size(), "%s%s", paths.directory.data(), kAsideName);
  FileDescriptor fd(::mkstemp(aside.data()));
  if (!fd.valid()) {
    report_open_failure(paths.backup.data());
    return false;
  }
  const FilePtr text = read_from_start(hints.fd.get());
  bool made = text && take_hints_ownership(fd.get(), hints) &&
              filter_into(text.get(), std::move(fd), nullptr, nullptr) == 0;
  if (made && ::rename(aside.data(), paths.backup.data()) != 0) {
    report_open_failure(paths.backup.data());
    made = false;
  }
  if (!made) {
    ::unlink(aside.data());
    return false;
  }
  return sync_directory(paths.directory.data());
}

bool copy_back_was_interrupted(const UpdatePaths& paths, const HintsFile& hints,
                               bool remove_untrusted) {
  struct stat status {};
  if (::lstat(paths.marker.data(), &status) != 0) return false;
  if (is_trusted(status, hints)) return true;
  // Planted: it says nothing about the hints file, and would stand in the
  // way of this update's own marker.
  if (remove_untrusted) ::unlink(paths.marker.data());
  return false;
}

int rewrite_hints_file(std::FILE* text, const char* hints_path, const UpdatePaths& paths,
                       const HintsFile& hints, bool& truncated) {
  truncated = false;
  FileDescriptor fd(::open(hints_path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return report_open_failure(hints_path);
  struct stat status {};
  // The text goes into the file that was locked and backed up, or nowhere.
  if (::fstat(fd.get(), &status) != 0) return errno;
  if (status.st_dev != hints.status.st_dev || status.st_ino != hints.status.st_ino) return ESTALE;
  if (!mark_copy_back(paths, hints)) return errno != 0 ? errno : EIO;
  if (::ftruncate(fd.get(), 0) != 0) {
    const int error = errno;
    unmark_copy_back(paths);
    return error;
  }
  truncated = true;
  const int result = filter_into(text, std::move(fd), nullptr, nullptr);
  // A failed copy leaves the marker: the file stays torn until it is restored.
  if (result == 0) unmark_copy_back(paths);
  return result;
}

bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints) {
  const FileDescriptor backup = open_trusted(paths.backup.data(), hints);
  FilePtr text;
  if (!backup.valid()) {
    report_open_failure(paths.backup.data());
  } else {
    text = read_from_start(backup.get());
  }
  bool truncated = false;
  if (text && rewrite_hints_file(text.get(), hints_path, paths, hints, truncated) == 0) return true;
  flush_standard_output();
  std::fprintf(stderr, "error restoring \"%s\": its previous text is in \"%s\"\n", hints_path,
               paths.backup.data());
  std::fflush(stderr);
  return false;
}

FileDescriptor begin_reading(const char* hints_path) {
  FileDescriptor fd(::open(hints_path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.valid() && !lock_file(fd.get(), LOCK_SH)) fd = FileDescriptor();

  UpdatePaths paths{};
  HintsFile hints;
  if (make_update_paths(hints_path, paths) && ::stat(hints_path, &hints.status) == 0 &&
      copy_back_was_interrupted(paths, hints, false)) {
    flush_standard_output();
    // One literal, so the manual page's check of the messages sees all of it.
    std::fprintf(stderr, "incomplete \"%s\" after an interrupted update: the next update restores it from \"%s\"\n",
                 hints_path, paths.backup.data());
    std::fflush(stderr);
  }
  return fd;
}
