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

/// The hints file as the update holds it: open for reading, a regular file,
/// locked exclusively.
struct HintsFile {
  FileDescriptor fd;
  struct stat status {};
};

/// Opens the hints file for an update without blocking on what it names,
/// refuses anything but a regular file, and waits for the exclusive lock.
/// False on failure; a file that will not open has been named on standard
/// output ("error opening").
bool open_hints_for_update(const char* hints_path, HintsFile& hints);

/// For a reader of the hints file: a shared lock, so that it never sees an
/// update half written, and one line on standard error when the file is
/// incomplete after an interrupted update. The lock is none when the file
/// will not open or cannot be locked (a pipe), and the reader goes on
/// without it.
FileDescriptor begin_reading(const char* hints_path);

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
