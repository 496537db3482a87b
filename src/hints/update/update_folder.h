// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <array>

#include "common/file_handles.h"

/// The names an in-place update uses beside the hints file FILE: the backup
/// FILE.KxBak, the copy-back marker FILE.KxCpy, and FILE.KxTmp.XXXXXX for a
/// file written aside before it is renamed into place, or for a name someone
/// else planted that is moved out of the way. All of them carry the name of
/// the hints file itself, with the symbolic links of its last part followed,
/// so that the next update of that file knows them for its own whichever
/// link it came through.

/// A path the update forms: at most 255 characters and the NUL.
using PathBuffer = std::array<char, 256>;
/// FILE.KxTmp.XXXXXX: a hints path of up to 249 characters and 13 more.
using AsidePath = std::array<char, 272>;

struct UpdatePaths {
  PathBuffer file;           // the hints file itself, reached without a link
  PathBuffer backup;         // "FILE.KxBak": the text before the latest update
  PathBuffer marker;         // "FILE.KxCpy": exists while the hints file is being rewritten
  PathBuffer directory;      // the folder of all of them
  PathBuffer name;           // the hints file's own name in that folder
  AsidePath aside_template;  // "FILE.KxTmp.XXXXXX", for mkstemp
};

/// Forms the names beside the file that `hints_path` names; false when its
/// path leaves no room for a suffix, or its links go on for too long.
bool make_update_paths(const char* hints_path, UpdatePaths& paths);

/// The hints file as the update holds it: open for reading, a regular file,
/// locked exclusively (or, for a reader, shared).
struct HintsFile {
  FileDescriptor fd;
  struct stat status {};
};

/// A file this run may take as its own: a regular file with no other name
/// (a hard link planted by another user would have one), owned by root, by
/// the user running the update or by the hints file's owner.
bool is_trusted(const struct stat& status, const HintsFile& hints);

bool same_file(const struct stat& a, const struct stat& b);

/// A rename or a removal in a folder lasts only once the folder is on the disk.
bool sync_directory(const char* directory);

/// Creates a fresh, empty FILE.KxTmp.XXXXXX (owner-only) and names it in `path`.
FileDescriptor make_aside_file(const UpdatePaths& paths, AsidePath& path);

/// When `path` names something other than a regular file (a folder, a link,
/// a FIFO someone planted), renames it to a FILE.KxTmp.XXXXXX of its own
/// kind, never following it, and says so in one line on standard error.
/// False when it is still there.
bool move_aside_if_planted(const UpdatePaths& paths, const char* path);

/// Removes what earlier updates of this hints file left beside it when they
/// were stopped: FILE.KxTmp.XXXXXX files this run can trust, and empty
/// FILE.KxTmp.XXXXXX folders of root or this user (a placeholder made to
/// move a planted folder aside), by name in the folder, never through a
/// link. The caller holds the exclusive lock, so no other update of this
/// file is making one.
void remove_leftovers(const UpdatePaths& paths, const HintsFile& hints);
