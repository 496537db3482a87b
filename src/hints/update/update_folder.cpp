// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/update_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>

#include "common/diagnostics.h"
#include "common/interrupted_calls.h"

namespace {

constexpr char kAsideSuffix[] = ".KxTmp.";
constexpr std::size_t kAsideSuffixLength = sizeof kAsideSuffix - 1;
constexpr std::size_t kUniqueLength = 6;  // the XXXXXX that mkstemp replaces

/// ".KxBak" and ".KxCpy" must fit whole: a cut-short name could be the hints
/// file itself, or some other file beside it.
constexpr std::size_t kMaxHintsPath = 255 - 6;
/// A name in a folder has at most 255 characters: FILE.KxTmp.XXXXXX too.
constexpr std::size_t kMaxHintsName = 255 - kAsideSuffixLength - kUniqueLength;

/// As many links as FreeBSD follows in one path (MAXSYMLINKS).
constexpr int kMaxLinks = 32;

/// `parts` one after the other, and a NUL, in `path`; false, and `path`
/// left empty, when they do not fit whole. (A path is built for every run,
/// --show's too: this costs less than the printf family.)
template <std::size_t N>
bool join_path(std::array<char, N>& path, std::initializer_list<std::string_view> parts) {
  std::size_t length = 0;
  for (const std::string_view part : parts) {
    if (part.size() >= N - length) {
      path[0] = '\0';
      return false;
    }
    std::memcpy(path.data() + length, part.data(), part.size());
    length += part.size();
  }
  path[length] = '\0';
  return true;
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

bool is_leftover_name(const char* entry, const UpdatePaths& paths) {
  const std::size_t name_length = std::strlen(paths.name.data());
  return std::strlen(entry) == name_length + kAsideSuffixLength + kUniqueLength &&
         std::strncmp(entry, paths.name.data(), name_length) == 0 &&
         std::strncmp(entry + name_length, kAsideSuffix, kAsideSuffixLength) == 0;
}

/// A placeholder of the planted name's kind takes a fresh name, so that the
/// rename can replace it: a folder may only replace an empty folder.
bool make_placeholder(const UpdatePaths& paths, bool folder, AsidePath& aside) {
  if (!folder) return make_aside_file(paths, aside).valid();
  aside = paths.aside_template;
  return ::mkdtemp(aside.data()) != nullptr;
}

/// The file `hints_path` names, with the symbolic links of its last part
/// followed (a relative target from the link's folder): every name that
/// reaches the file through links then leads to the same folder and name.
/// A link that cannot be read ends the walk where it stands; the open that
/// follows says why. False when the links go on too long.
bool follow_last_links(const char* hints_path, PathBuffer& file) {
  if (!join_path(file, {hints_path})) return false;
  for (int links = 0; links <= kMaxLinks; ++links) {
    PathBuffer target{};
    const ssize_t length = ::readlink(file.data(), target.data(), target.size());
    if (length < 0) return true;
    if (static_cast<std::size_t>(length) >= target.size()) return false;
    target[static_cast<std::size_t>(length)] = '\0';
    const char* slash = std::strrchr(file.data(), '/');
    if (target[0] == '/' || slash == nullptr) {
      file = target;
      continue;
    }
    const auto folder = static_cast<std::size_t>(slash - file.data()) + 1;
    PathBuffer joined{};
    if (!join_path(joined, {std::string_view(file.data(), folder), target.data()})) return false;
    file = joined;
  }
  return false;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

bool make_update_paths(const char* hints_path, UpdatePaths& paths) {
  if (!follow_last_links(hints_path, paths.file)) return false;
  const char* file = paths.file.data();
  if (std::strlen(file) > kMaxHintsPath) return false;
  directory_of(file, paths.directory);
  const char* slash = std::strrchr(file, '/');
  const char* name = slash == nullptr ? file : slash + 1;
  if (*name == '\0' || std::strlen(name) > kMaxHintsName) return false;
  return join_path(paths.name, {name}) && join_path(paths.aside_template, {file, kAsideSuffix, "XXXXXX"}) &&
         join_path(paths.backup, {file, ".KxBak"}) && join_path(paths.marker, {file, ".KxCpy"});
}

bool is_trusted(const struct stat& status, const HintsFile& hints) {
  return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
         (status.st_uid == 0 || status.st_uid == ::geteuid() ||
          status.st_uid == hints.status.st_uid);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sync_directory(const char* directory) {
  const FileDescriptor fd(
      retry_interrupted([&] { return ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!fd.valid()) return false;
  return retry_interrupted([&] { return ::fsync(fd.get()); }) == 0 || errno == EINVAL;
}

FileDescriptor make_aside_file(const UpdatePaths& paths, AsidePath& path) {
  // mkstemp changes the template as it tries names: each attempt starts afresh.
  return FileDescriptor(retry_interrupted([&] {
    path = paths.aside_template;
    return ::mkstemp(path.data());
  }));
}

bool move_aside_if_planted(const UpdatePaths& paths, const char* path) {
  // The planter may swap the kind of thing between the look and the rename.
  for (int attempt = 0; attempt < 3; ++attempt) {
    struct stat status {};
    if (::lstat(path, &status) != 0) return errno == ENOENT;
    if (S_ISREG(status.st_mode)) return true;
    const bool folder = S_ISDIR(status.st_mode);
    AsidePath aside{};
    if (!make_placeholder(paths, folder, aside)) return false;
    if (::rename(path, aside.data()) == 0) {
      sync_directory(paths.directory.data());
      report("moved \"%s\" aside to \"%s\": it was not a regular file", path,
                   aside.data());
      return true;
    }
    if (folder) {
      ::rmdir(aside.data());
    } else {
      ::unlink(aside.data());
    }
  }
  return false;
}

void remove_leftovers(const UpdatePaths& paths, const HintsFile& hints) {
  const FileDescriptor folder(retry_interrupted(
      [&] { return ::open(paths.directory.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (!folder.valid()) return;
  FileDescriptor listing_fd(::dup(folder.get()));
  const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(listing_fd.get()));
  if (!listing) return;
  listing_fd.release();
  bool removed = false;
  while (const dirent* entry = ::readdir(listing.get())) {
    if (!is_leftover_name(entry->d_name, paths)) continue;
    struct stat status {};
    if (::fstatat(folder.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
    // A folder goes only while empty: one moved aside with what it held stays.
    const bool placeholder =
        S_ISDIR(status.st_mode) && (status.st_uid == 0 || status.st_uid == ::geteuid());
    if ((placeholder || is_trusted(status, hints)) &&
        ::unlinkat(folder.get(), entry->d_name, placeholder ? AT_REMOVEDIR : 0) == 0)
      removed = true;
  }
  if (removed) retry_interrupted([&] { return ::fsync(folder.get()); });
}
