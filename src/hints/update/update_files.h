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

/// Opens the hints file itself (`paths.file`) for an update without blocking
/// on what it names, refuses anything but a regular file, and waits for the
/// exclusive lock. False on failure; a file that will not open has been named
/// on standard output ("error opening" with `hints_path`).
bool open_hints_for_update(const char* hints_path, const UpdatePaths& paths, HintsFile& hints);

/// Opens the hints file for --show and --stdout: without blocking on what it
/// names, and only a regular file (a folder, a FIFO or a device would hold
/// the reader or never end). Takes a shared lock, so that an update is never
/// seen half written, and says on standard error when the file may be torn
/// ("incomplete ...", or a line of report_doubt). An invalid descriptor when
/// the file will not open or is not a regular file: "error opening" is then
/// on standard output and `error` holds the error number (EISDIR for a
/// folder, EINVAL for any other kind of file).
FileDescriptor open_for_reading(const char* hints_path, int& error);

/// For --verify: the shared lock on the hints file as open_for_reading takes
/// it, and the same line when the file may be torn; none, and no message, when
/// the file will not open or cannot be locked.
FileDescriptor begin_reading(const char* hints_path);

/// Says on standard error what a copy back of an earlier update left, when it
/// leaves the hints file in doubt: "cannot tell whether ..." for a marker
/// that cannot be read or judged, or a marked file without its marker.
/// Interrupted, Absent and Stale say nothing here.
void report_doubt(MarkerState state, const char* hints_path, const UpdatePaths& paths);

/// A stream reading `fd` from its start, unbuffered (its readers take
/// blocks); none when the system has no room.
FilePtr read_from_start(int fd);

/// Writes the hints file's text to a fresh FILE.KxTmp.XXXXXX beside it, with
/// the hints file's permission bits (and, as root, its owner), puts it on the
/// disk and renames it over the backup name, whatever that name held; a
/// folder there is moved aside first. `record` then names the hints file and
/// the new backup, with the backup's length and checksum. False when the
/// backup could not be made; the previous backup then stays as it was,
/// unless the rename was done and only the folder could not be put on the
/// disk. A name that would not open or take the rename is on standard output.
bool write_backup(const UpdatePaths& paths, const HintsFile& hints, CopyBackRecord& record);

/// How a rewrite of the hints file ended.
enum class CopyBack {
  Written,    // the new text is on the disk
  NotOpened,  // the hints file would not open for writing: untouched
  NotMarked,  // the text, the marker or the mark could not be had: untouched
  NotCut,     // the hints file could not be truncated: untouched
  Torn,       // cut, then a write failed: the marker and the mark stay
};

/// Rewrites the hints file in place (same file, owner and mode) with the text
/// of the file open as `text_fd`, behind a marker whose record names the
/// hints file and the backup of `record` (its new text is taken from
/// `text_fd`), and behind the mark on the hints file; both are on the disk
/// before the file is cut. `file_is_whole` false (a restore over a torn
/// file): neither is removed before the text is whole. A marker that stays
/// after a good copy back is named on standard error; no later run believes
/// it, and the status is still Written.
CopyBack rewrite_hints_file(int text_fd, const char* hints_path, const UpdatePaths& paths,
                            const HintsFile& hints, CopyBackRecord record, bool file_is_whole);

/// Puts the backup's text back into the torn hints file, only from the
/// backup that `expected` names, with the text it records. On failure says
/// so on standard error (naming the backup that still holds the text) and
/// returns false.
bool restore_from_backup(const char* hints_path, const UpdatePaths& paths, const HintsFile& hints,
                         const CopyBackRecord& expected);

/// The end of what an earlier update left whole (a stale marker): the mark on
/// the hints file goes, then the marker. A marker stays while the mark does.
void clear_stale_marker(const UpdatePaths& paths, const HintsFile& hints);
