// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstddef>
#include <string_view>

#include "common/file_handles.h"

/// The most symbolic links one path passes through before ELOOP, as FreeBSD's
/// kernel allows.
inline constexpr int kMaxRootedLinks = 40;
/// The most components, those of its links included, that one path walks
/// through before ENAMETOOLONG.
inline constexpr std::size_t kMaxRootedComponents = 4096;

/// Opens `path` as a system whose root is the folder open as `root_fd`
/// resolves it: one component at a time from that folder, ".." going back
/// to the folder it came from and never above the root, an absolute link
/// starting again at the root and a relative one going on from the link's
/// folder, so that nothing outside the root is reached whatever the tree
/// holds. A relative path is taken from the root. The last component opens
/// with O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY and `flags`, after its
/// links are resolved the same way. None, with errno, on failure.
FileDescriptor open_in_root(int root_fd, std::string_view path, int flags);
