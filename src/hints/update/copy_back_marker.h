// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "hints/update/update_folder.h"

/// The copy-back marker FILE.KxCpy belongs to one copy back and says which:
/// it is on the disk, with its record, before the hints file is cut, and it
/// goes once the new text is on the disk. While the copy back runs, the hints
/// file itself carries the mark (the sticky bit, which a regular file
/// otherwise ignores), so that every name of the file, a second hard link
/// included, shows that its text may be torn. A marker is believed only while
/// the mark is set and its record matches the files; what cannot be told
/// either way stops the update rather than being guessed.

/// XXH64, the 64-bit hash of the xxHash family: a published function with
/// published test values, fast enough (several GB/s) that checking a backup
/// of many megabytes costs little beside copying it. Fed in pieces of any
/// size, it gives the hash of all of them in a row.
class TextHash {
 public:
  explicit TextHash(std::uint64_t seed = 0);
  void add(const unsigned char* bytes, std::size_t length);
  std::uint64_t digest() const;
  std::uint64_t length() const { return length_; }

 private:
  static constexpr std::size_t kStripe = 32;
  std::uint64_t seed_;
  std::array<std::uint64_t, 4> lanes_;
  std::array<unsigned char, kStripe> pending_{};
  std::size_t pending_length_ = 0;
  std::uint64_t length_ = 0;
};

/// The length of a text and its XXH64 checksum.
struct TextSummary {
  std::uint64_t length = 0;
  std::uint64_t checksum = 0;
  bool operator==(const TextSummary&) const = default;
};

TextSummary summary_of(const TextHash& hash);

/// Reads the whole file open as `fd` (from its start, leaving its offset).
bool summarize_text(int fd, TextSummary& summary);

/// What one copy back protects and what it leaves when it ends. Files are
/// named by inode number only: the device number of a file system may be
/// another one after a reboot, and the files all lie in one folder.
struct CopyBackRecord {
  std::uintmax_t hints_inode = 0;
  std::uintmax_t backup_inode = 0;
  TextSummary backup_text;  // the whole text the backup holds
  TextSummary new_text;     // what the copy back writes
};

enum class MarkerState {
  Absent,       // no marker, no mark: the hints file is whole
  Stale,        // no interrupted copy back: finished, not begun, not ours, or not about these files
  Interrupted,  // the hints file may be torn; the backup named in `record` is whole
  Unreadable,   // the marker, or a file its record names, could not be read or judged
  NotItsMarker, // the hints file carries the mark, and no marker here describes its copy back
};

/// Judges what an earlier copy back left: the mark on the hints file and the
/// marker beside it. A marker counts only as a regular file owned by root or
/// by the user running this, whatever its links. Interrupted only when the
/// hints file is marked, the record names it and the backup as it stands
/// (inode, length and checksum), and the hints file holds neither the
/// recorded new text nor the backup's text.
MarkerState inspect_marker(const UpdatePaths& paths, const HintsFile& hints,
                           CopyBackRecord& record);

/// Whether the file whose status this is carries the copy-back mark.
bool is_marked(const struct stat& status);

/// Sets (or clears) the mark on the hints file open as `fd`, as its
/// permission bits were when it was opened, and puts the change on the disk.
bool set_copy_back_mark(int fd, const HintsFile& hints, bool marked);

/// Writes the record to a fresh file beside the hints file, puts it on the
/// disk and renames it to the marker name, whatever that held. False when
/// the marker is not on the disk; a marker that reached its name then is
/// removed again only with `remove_on_failure`.
bool write_marker(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                  bool remove_on_failure);

/// Removes the marker; false, with errno, when the name stays.
bool remove_marker(const UpdatePaths& paths);
