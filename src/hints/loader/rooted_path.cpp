// SPDX-License-Identifier: BSD-2-Clause
#include "hints/loader/rooted_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "common/interrupted_calls.h"

namespace {

/// How a folder on the way is opened: never through a link, which the walk
/// resolves itself.
constexpr int kDescend = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kLast = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

FileDescriptor failed(int error) {
  errno = error;
  return FileDescriptor();
}

/// The errors an open with O_NOFOLLOW gives for a link (FreeBSD says EMLINK;
/// with O_DIRECTORY some systems say ENOTDIR first).
bool may_be_link(int error) { return error == ELOOP || error == EMLINK || error == ENOTDIR; }

/// What is left of the path: its components in order, from `at`.
struct Remaining {
  std::string text;
  std::size_t at = 0;

  void skip_slashes() {
    while (at < text.size() && text[at] == '/') ++at;
  }
  [[nodiscard]] bool done() const { return at == text.size(); }
  /// The next component; `at` is then on the slash after it, if any.
  std::string take() {
    const std::size_t end = std::min(text.find('/', at), text.size());
    std::string name = text.substr(at, end - at);
    at = end;
    return name;
  }
  /// A link's target goes in front of what follows the link.
  void put_in_front(std::string_view target) {
    std::string joined(target);
    joined.append(text, at);
    text = std::move(joined);
    at = 0;
  }
};

}  // namespace

FileDescriptor open_in_root(int root_fd, std::string_view path, int flags) {
  if (path.empty()) return failed(ENOENT);
  if (path.size() >= PATH_MAX) return failed(ENAMETOOLONG);
  if (path.find('\0') != std::string_view::npos) return failed(EINVAL);
  const int last_flags = flags | kLast;
  Remaining rest{std::string(path)};
  std::vector<FileDescriptor> descended;  // the folders below the root, innermost last
  int links = 0;
  std::size_t components = 0;
  for (;;) {
    const int folder = descended.empty() ? root_fd : descended.back().get();
    rest.skip_slashes();
    if (rest.done()) {
      // The path names the folder reached so far.
      return FileDescriptor(retry_interrupted([&] { return ::openat(folder, ".", last_flags); }));
    }
    const std::string name = rest.take();
    if (++components > kMaxRootedComponents) return failed(ENAMETOOLONG);
    if (name == ".") continue;
    if (name == "..") {
      if (!descended.empty()) descended.pop_back();
      continue;
    }
    const std::size_t after = rest.at;
    rest.skip_slashes();
    const bool last = rest.done();
    // A last name followed by a slash must be a folder, as the kernel has it.
    const int open_flags = !last ? kDescend : after < rest.text.size() ? last_flags | O_DIRECTORY : last_flags;
    FileDescriptor opened(
        retry_interrupted([&] { return ::openat(folder, name.c_str(), open_flags); }));
    if (opened.valid()) {
      if (last) return opened;
      descended.push_back(std::move(opened));
      continue;
    }
    const int error = errno;
    struct stat status {};
    if (!may_be_link(error) || ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(status.st_mode)) {
      return failed(error);
    }
    if (++links > kMaxRootedLinks) return failed(ELOOP);
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(folder, name.c_str(), target, sizeof target);
    if (length < 0) return failed(errno);
    if (length == 0) return failed(ENOENT);
    if (static_cast<std::size_t>(length) == sizeof target) return failed(ENAMETOOLONG);
    const std::string_view link(target, static_cast<std::size_t>(length));
    if (link.front() == '/') descended.clear();
    // From the slash after the link's name, so that a trailing one still counts.
    rest.at = after;
    rest.put_in_front(link);
  }
}
