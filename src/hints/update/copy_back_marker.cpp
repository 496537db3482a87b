// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/copy_back_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/interrupted_calls.h"

namespace {

// The five primes of XXH64.
constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

constexpr std::uint64_t rotate_left(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

/// XXH64 reads its input as little-endian words, whatever the machine.
std::uint64_t load_le(const unsigned char* bytes, int count) {
  std::uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes, static_cast<std::size_t>(count));
  } else {
    for (int i = 0; i < count; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  }
  return value;
}

constexpr std::uint64_t hash_round(std::uint64_t lane, std::uint64_t word) {
  return rotate_left(lane + word * kPrime2, 31) * kPrime1;
}

constexpr std::uint64_t merge_lane(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ hash_round(0, lane)) * kPrime1 + kPrime4;
}

/// Folds whole 32-byte stripes into the four lanes; returns the bytes used.
/// The lanes stay in locals: the input may alias anything, and stores to the
/// array after each stripe would cost several times the hashing itself.
std::size_t add_stripes(std::array<std::uint64_t, 4>& lanes, const unsigned char* bytes,
                        std::size_t length) {
  std::uint64_t lane0 = lanes[0], lane1 = lanes[1], lane2 = lanes[2], lane3 = lanes[3];
  std::size_t at = 0;
  for (; length - at >= 32; at += 32) {
    lane0 = hash_round(lane0, load_le(bytes + at, 8));
    lane1 = hash_round(lane1, load_le(bytes + at + 8, 8));
    lane2 = hash_round(lane2, load_le(bytes + at + 16, 8));
    lane3 = hash_round(lane3, load_le(bytes + at + 24, 8));
  }
  lanes = {lane0, lane1, lane2, lane3};
  return at;
}

// The record is one line. Its first words say that the file is one; a file
// that starts so and does not parse is a record of another format, whose
// copy back cannot be judged.
constexpr char kRecordTag[] = "rididezuve copy back";
constexpr char kRecordFormat[] = "rididezuve copy back 2: hints %ju backup %ju %" PRIu64 " %016" PRIx64
                                 " new %" PRIu64 " %016" PRIx64 "\n";
constexpr char kRecordScan[] = "rididezuve copy back 2: hints %ju backup %ju %" SCNu64 " %" SCNx64
                               " new %" SCNu64 " %" SCNx64 "%n";
constexpr std::size_t kMaxRecord = 255;

bool parse_record(const char* text, std::size_t length, CopyBackRecord& record) {
  int consumed = -1;
  const int fields = std::sscanf(text, kRecordScan, &record.hints_inode, &record.backup_inode,
                                 &record.backup_text.length, &record.backup_text.checksum,
                                 &record.new_text.length, &record.new_text.checksum, &consumed);
  return fields == 6 && consumed >= 0 && static_cast<std::size_t>(consumed) + 1 == length &&
         text[consumed] == '\n';
}

/// A marker is this system's only when root or this user made it: another
/// user may plant or hard-link a file at the name, never own one as root.
bool made_by_us(const struct stat& status) {
  return status.st_uid == 0 || status.st_uid == ::geteuid();
}

enum class MarkerName { Empty, Foreign, Record, Unreadable };

/// What the marker name holds: nothing, something that is no marker of ours
/// (another user's file, a link, a folder, other text), a record, or what
/// could not be read.
MarkerName read_marker(const UpdatePaths& paths, CopyBackRecord& record) {
  struct stat named {};
  if (::lstat(paths.marker.data(), &named) != 0)
    return errno == ENOENT ? MarkerName::Empty : MarkerName::Unreadable;
  if (!S_ISREG(named.st_mode) || !made_by_us(named)) return MarkerName::Foreign;
  const FileDescriptor fd(retry_interrupted([&] {
    return ::open(paths.marker.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  struct stat opened {};
  if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !same_file(opened, named))
    return MarkerName::Unreadable;
  char text[kMaxRecord + 1];
  const ssize_t length =
      retry_interrupted([&] { return ::pread(fd.get(), text, sizeof text - 1, 0); });
  if (length < 0) return MarkerName::Unreadable;
  text[length] = '\0';
  if (parse_record(text, static_cast<std::size_t>(length), record)) return MarkerName::Record;
  return std::strncmp(text, kRecordTag, sizeof kRecordTag - 1) == 0 ? MarkerName::Unreadable
                                                                    : MarkerName::Foreign;
}

enum class BackupCheck { Matches, Differs, Unreadable };

/// Whether the backup is the one the record names, with the text it had then.
BackupCheck check_backup(const UpdatePaths& paths, const CopyBackRecord& record) {
  struct stat named {};
  // Without the backup nothing can be put back, and nothing said about the file.
  if (::lstat(paths.backup.data(), &named) != 0) return BackupCheck::Unreadable;
  if (!S_ISREG(named.st_mode) || static_cast<std::uintmax_t>(named.st_ino) != record.backup_inode ||
      static_cast<std::uint64_t>(named.st_size) != record.backup_text.length)
    return BackupCheck::Differs;
  const FileDescriptor fd(retry_interrupted([&] {
    return ::open(paths.backup.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  struct stat opened {};
  TextSummary text;
  if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !same_file(opened, named) ||
      !summarize_text(fd.get(), text))
    return BackupCheck::Unreadable;
  return text == record.backup_text ? BackupCheck::Matches : BackupCheck::Differs;
}

}  // namespace

TextHash::TextHash(std::uint64_t seed)
    : seed_(seed), lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1} {}

void TextHash::add(const unsigned char* bytes, std::size_t length) {
  length_ += length;
  if (pending_length_ > 0) {
    const std::size_t take = std::min(length, kStripe - pending_length_);
    std::memcpy(pending_.data() + pending_length_, bytes, take);
    pending_length_ += take;
    bytes += take;
    length -= take;
    if (pending_length_ < kStripe) return;
    add_stripes(lanes_, pending_.data(), kStripe);
    pending_length_ = 0;
  }
  const std::size_t used = add_stripes(lanes_, bytes, length);
  std::memcpy(pending_.data(), bytes + used, length - used);
  pending_length_ = length - used;
}

std::uint64_t TextHash::digest() const {
  std::uint64_t hash = seed_ + kPrime5;
  if (length_ >= kStripe) {
    hash = rotate_left(lanes_[0], 1) + rotate_left(lanes_[1], 7) + rotate_left(lanes_[2], 12) +
           rotate_left(lanes_[3], 18);
    for (const std::uint64_t lane : lanes_) hash = merge_lane(hash, lane);
  }
  hash += length_;
  const unsigned char* rest = pending_.data();
  std::size_t left = pending_length_;
  for (; left >= 8; rest += 8, left -= 8)
    hash = rotate_left(hash ^ hash_round(0, load_le(rest, 8)), 27) * kPrime1 + kPrime4;
  if (left >= 4) {
    hash = rotate_left(hash ^ (load_le(rest, 4) * kPrime1), 23) * kPrime2 + kPrime3;
    rest += 4;
    left -= 4;
  }
  for (; left > 0; ++rest, --left) hash = rotate_left(hash ^ (*rest * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  return hash ^ (hash >> 32);
}

TextSummary summary_of(const TextHash& hash) { return {hash.length(), hash.digest()}; }

bool summarize_text(int fd, TextSummary& summary) {
  TextHash hash;
  std::array<unsigned char, 65536> block;
  for (;;) {
    const auto offset = static_cast<off_t>(hash.length());
    const ssize_t got =
        retry_interrupted([&] { return ::pread(fd, block.data(), block.size(), offset); });
    if (got < 0) return false;
    if (got == 0) break;
    hash.add(block.data(), static_cast<std::size_t>(got));
  }
  summary = summary_of(hash);
  return true;
}

MarkerState inspect_marker(const UpdatePaths& paths, const HintsFile& hints,
                           CopyBackRecord& record) {
  struct stat now {};
  if (::fstat(hints.fd.get(), &now) != 0) return MarkerState::Unreadable;
  const bool marked = is_marked(now);
  switch (read_marker(paths, record)) {
    case MarkerName::Empty:
      return marked ? MarkerState::NotItsMarker : MarkerState::Absent;
    case MarkerName::Foreign:
      return marked ? MarkerState::NotItsMarker : MarkerState::Stale;
    case MarkerName::Unreadable:
      return MarkerState::Unreadable;
    case MarkerName::Record:
      break;
  }
  // Every copy back marks the file before it cuts it and clears the mark only
  // once the new text is on the disk: unmarked, the file is whole.
  if (!marked) return MarkerState::Stale;
  if (record.hints_inode != static_cast<std::uintmax_t>(now.st_ino)) return MarkerState::NotItsMarker;
  switch (check_backup(paths, record)) {
    case BackupCheck::Unreadable:
      return MarkerState::Unreadable;
    case BackupCheck::Differs:
      return MarkerState::NotItsMarker;
    case BackupCheck::Matches:
      break;
  }
  TextSummary text;
  if (!summarize_text(hints.fd.get(), text)) return MarkerState::Unreadable;
  // The copy back finished, or never cut the file, or a restore finished.
  if (text == record.new_text || text == record.backup_text) return MarkerState::Stale;
  return MarkerState::Interrupted;
}

bool is_marked(const struct stat& status) { return (status.st_mode & S_ISVTX) != 0; }

bool set_copy_back_mark(int fd, const HintsFile& hints, bool marked) {
  const mode_t bits = hints.status.st_mode & 07777 & ~static_cast<mode_t>(S_ISVTX);
  struct stat now {};
  // A file system that drops the bit silently cannot carry the mark.
  return ::fchmod(fd, marked ? bits | S_ISVTX : bits) == 0 && ::fstat(fd, &now) == 0 &&
         is_marked(now) == marked && retry_interrupted([&] { return ::fsync(fd); }) == 0;
}

bool write_marker(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                  bool remove_on_failure) {
  char text[kMaxRecord + 1];
  const int length = std::snprintf(text, sizeof text, kRecordFormat, record.hints_inode,
                                   record.backup_inode, record.backup_text.length,
                                   record.backup_text.checksum, record.new_text.length,
                                   record.new_text.checksum);
  AsidePath aside{};
  FileDescriptor fd = make_aside_file(paths, aside);
  if (!fd.valid()) return false;
  // Readable by whoever may read the hints file: readers check it too.
  bool written = length > 0 && ::fchmod(fd.get(), hints.status.st_mode & 0666) == 0 &&
                 write_whole(fd.get(), text, static_cast<std::size_t>(length)) &&
                 retry_interrupted([&] { return ::fsync(fd.get()); }) == 0;
  if (written && ::rename(aside.data(), paths.marker.data()) != 0) {
    // A folder planted at the name since the update began.
    written = errno == EISDIR && move_aside_if_planted(paths, paths.marker.data()) &&
              ::rename(aside.data(), paths.marker.data()) == 0;
  }
  if (!written) {
    ::unlink(aside.data());
    return false;
  }
  if (sync_directory(paths.directory.data())) return true;
  if (remove_on_failure) remove_marker(paths);
  return false;
}

bool remove_marker(const UpdatePaths& paths) {
  if (::unlink(paths.marker.data()) != 0) return errno == ENOENT;
  sync_directory(paths.directory.data());
  return true;
}
