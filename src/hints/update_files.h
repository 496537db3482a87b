// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdio>

#include "common/file_handles.h"

/// The files of an in-place update beside the hints file, made so that names
/// planted by other users are replaced and never followed, and a stop at any
/// point leaves a whole text that the next update can find.

/// A path the update forms: at most 255 characters and the NUL.
using PathBuffer = std::array<char, 256>;

/// The names beside the hints file.
struct UpdatePaths {
  PathBuffer backup;     // "FILE.KxBak": the text before the latest update
  PathBuffer marker;     // "FILE.KxCpy": exists while the hints file is being rewritten
  PathBuffer directory;  // the folder of both, where the new backup is written aside
};

/// Forms the names; false when the hints path leaves no room for the suffix.
bool make_update_paths(const char* hints_path, UpdatePaths& paths);

/// The hints file as the update holds it: open for reading, a regular file.
struct HintsFile {
  FileDescriptor fd;
  struct stat status {};
};

/// Opens the hints file without blocking on what it names, and refuses
/// anything but a regular file. 0, or the error number; a file that will not
/// open has been named on standard output ("error opening").
int open_regular_hints_file(const char* hints_path, HintsFile& hints);

/// Waits for `mode` (LOCK_SH or LOCK_EX) on `fd`; false when it is refused.
bool lock_file(int fd, int mode);

/// A shared lock for a reader of the hints file, so that it never sees an
/// update half written; none when the file will not open or cannot be
/// locked (a pipe), and the reader goes on without it.
FileDescriptor lock_for_reading(const char* hints_path);

/// A stream reading `fd` from its start; none when the system has no room.
FilePtr read_from_start(int fd);

/// Writes the hints file's text to a fresh file beside it, with the hints
/// file's permission bits (and, as root, its owner), puts it on the disk and
/// renames it over the backup name, whatever that name held. False when the
/// backup could not be made; the previous backup then stays as it was, and a
/// name that would not open or take the rename is on standard output.
bool write_backup(const UpdatePaths& paths, const HintsFile& hints);

/// Whether an earlier update stopped while it rewrote the hints file. A
/// marker that this run cannot trust (a link, a name someone else made) is
/// removed instead, when `remove_untrusted`.
bool copy_back_was_interrupted(const UpdatePaths& paths, const HintsFile& hints,
                               bool remove_untrusted);

/// Rewrites the hints file in place (same file, owner and mode) with the text
/// of `text`, behind a marker that is on the disk before the file is cut and
/// gone once the new text is. 0, or the failure's status; `truncated` tells
/// whether the old text was already cut.
int rewrite_hints_file(std::FILE* text, const char* hints_path, const UpdatePaths& paths,
                       const HintsFile& hints, bool& truncated);

/// Puts the backup's text back into the hints file. On failure says so on
/// standard error (naming the backup that still holds the text) and returns false.
bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints);

/// For the readers: one line on standard error when the hints file is
/// incomplete after an interrupted update.
void warn_if_interrupted(const char* hints_path);
