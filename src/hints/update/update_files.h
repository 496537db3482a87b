// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <cstdio>

#include "common/file_handles.h"
#include "hints/update/copy_back_marker.h"
#include "hints/update/update_folder.h"

/// The files of an in-place update beside the hints file, made so that names
/// planted by other users are replaced or moved aside and never followed, and
/// a stop at any point leaves a whole text that the next update can find.

/// Opens the hints file for an update without blocking on what it names,
/// refuses anything but a regular file, and waits for the exclusive lock.
/// False on failure; a file that will not open has been named on standard
/// output ("error opening").
bool open_hints_for_update(const char* hints_path, HintsFile& hints);

/// For a reader of the hints file: a shared lock, so that it never sees an
/// update half written, and one line on standard error when the file is
/// incomplete after an interrupted update (the marker's record says so; a
/// stale marker says nothing). The lock is none when the file will not open
/// or cannot be locked (a pipe), and the reader goes on without it.
FileDescriptor begin_reading(const char* hints_path);

/// A stream reading `fd` from its start; none when the system has no room.
FilePtr read_from_start(int fd);

/// Writes the hints file's text to a fresh FILE.KxTmp.XXXXXX beside it, with
/// the hints file's permission bits (and, as root, its owner), puts it on the
/// disk and renames it over the backup name, whatever that name held; a
/// folder there is moved aside first. `backup` then describes the new
/// backup. False when the backup could not be made; the previous backup then
/// stays as it was, unless the rename was done and only the folder could not
/// be put on the disk. A name that would not open or take the rename is on
/// standard output.
bool write_backup(const UpdatePaths& paths, const HintsFile& hints, struct stat& backup);

/// How a rewrite of the hints file ended.
enum class CopyBack {
  Written,    // the new text is on the disk
  NotOpened,  // the hints file would not open for writing: untouched
  NotMarked,  // the text or the marker could not be had: untouched
  NotCut,     // the hints file could not be truncated: untouched
  Torn,       // cut, then a write failed: the marker stays
};

/// Rewrites the hints file in place (same file, owner and mode) with the text
/// of the file open as `text_fd`, behind a marker whose record names `backup`
/// and is on the disk before the file is cut. `file_is_whole` false (a
/// restore over a torn file): a marker is never removed before the text is
/// whole. A marker that stays after a good copy back is named on standard
/// error; it is stale, and the status is still Written.
CopyBack rewrite_hints_file(int text_fd, const char* hints_path, const UpdatePaths& paths,
                            const HintsFile& hints, const struct stat& backup, bool file_is_whole);

/// Puts the backup's text back into the torn hints file, only from the
/// backup that `expected` names (its other fields are not used). On failure says so on standard
/// error (naming the backup that still holds the text) and returns false.
bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints,
                         const CopyBackRecord& expected);
