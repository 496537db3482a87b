// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "hints/update/update_folder.h"

/// The copy-back marker FILE.KxCpy belongs to one copy back and says which:
/// it is on the disk, with its record, before the hints file is cut, and it
/// goes once the new text is on the disk. A marker is believed only while its
/// record matches the files, so one that outlived its copy back, or that
/// someone planted or linked there, never restores anything.

/// The length of a text and its 64-bit FNV-1a checksum.
struct TextSummary {
  std::uint64_t length = 0;
  std::uint64_t checksum = 0;
  bool operator==(const TextSummary&) const = default;
};

/// Reads the whole file open as `fd` (from its start, leaving its offset).
bool summarize_text(int fd, TextSummary& summary);

/// What one copy back protects and what it leaves when it ends.
struct CopyBackRecord {
  std::uintmax_t hints_device = 0, hints_inode = 0;
  std::uintmax_t backup_device = 0, backup_inode = 0, backup_size = 0;
  TextSummary new_text;
};

CopyBackRecord make_record(const struct stat& hints, const struct stat& backup,
                           const TextSummary& new_text);

enum class MarkerState {
  Absent,
  Stale,        // no interrupted copy back: finished, not ours, or not about these files
  Interrupted,  // the hints file may be torn; the backup named in `record` is whole
};

/// Judges the marker beside `hints`: Interrupted only when its record names
/// this hints file and the backup as it stands, and the hints file holds
/// neither the recorded new text nor the backup's text.
MarkerState inspect_marker(const UpdatePaths& paths, const HintsFile& hints,
                           CopyBackRecord& record);

/// Writes the record to a fresh file beside the hints file, puts it on the
/// disk and renames it to the marker name, whatever that held. False when
/// the marker is not on the disk; a marker that reached its name then is
/// removed again only with `remove_on_failure`.
bool write_marker(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                  bool remove_on_failure);

/// Removes the marker; false, with errno, when the name stays.
bool remove_marker(const UpdatePaths& paths);
