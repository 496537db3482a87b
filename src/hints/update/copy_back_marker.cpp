// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/copy_back_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common/interrupted_calls.h"

namespace {

/// The checksum mixes eight bytes at a time in four independent lanes, so a
/// text of many megabytes costs a fraction of a byte-at-a-time hash; only this
/// function ever reads what it makes.
constexpr std::uint64_t kMixPrime = 0x9E3779B97F4A7C15ULL;
constexpr std::size_t kLanes = 4;

std::uint64_t mix(std::uint64_t lane, std::uint64_t word) {
  lane = (lane ^ word) * kMixPrime;
  return lane ^ (lane >> 29);
}

/// Folds `bytes` into the lanes, a whole number of 32-byte rounds at a time.
void mix_block(std::array<std::uint64_t, kLanes>& lanes, const unsigned char* bytes,
               std::size_t length) {
  for (std::size_t at = 0; at < length; at += kLanes * 8) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes + at + lane * 8, 8);
      lanes[lane] = mix(lanes[lane], word);
    }
  }
}

constexpr char kRecordFormat[] =
    "rididezuve copy back: hints %ju %ju backup %ju %ju %ju new %" PRIu64 " %" PRIx64 "\n";
constexpr char kRecordScan[] =
    "rididezuve copy back: hints %ju %ju backup %ju %ju %ju new %" SCNu64 " %" SCNx64 "%n";
constexpr std::size_t kMaxRecord = 255;

bool write_all(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    const ssize_t written = retry_interrupted([&] { return ::write(fd, bytes, length); });
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool parse_record(const char* text, std::size_t length, CopyBackRecord& record) {
  int consumed = -1;
  const int fields = std::sscanf(text, kRecordScan, &record.hints_device, &record.hints_inode,
                                 &record.backup_device, &record.backup_inode, &record.backup_size,
                                 &record.new_text.length, &record.new_text.checksum, &consumed);
  return fields == 7 && consumed >= 0 && static_cast<std::size_t>(consumed) + 1 == length &&
         text[consumed] == '\n';
}

/// The record of the marker that `named` describes, when this run can trust it.
bool read_record(const UpdatePaths& paths, const HintsFile& hints, const struct stat& named,
                 CopyBackRecord& record) {
  const FileDescriptor fd(retry_interrupted([&] {
    return ::open(paths.marker.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !same_file(status, named) ||
      !is_trusted(status, hints))
    return false;
  char text[kMaxRecord + 1];
  const ssize_t length =
      retry_interrupted([&] { return ::pread(fd.get(), text, sizeof text - 1, 0); });
  if (length <= 0) return false;
  text[length] = '\0';
  return parse_record(text, static_cast<std::size_t>(length), record);
}

bool matches(std::uintmax_t device, std::uintmax_t inode, const struct stat& status) {
  return device == static_cast<std::uintmax_t>(status.st_dev) &&
         inode == static_cast<std::uintmax_t>(status.st_ino);
}

/// Whether the backup `backup` (as lstat saw it) holds the text `summary` describes.
bool backup_holds(const UpdatePaths& paths, const struct stat& backup, const TextSummary& summary) {
  if (static_cast<std::uint64_t>(backup.st_size) != summary.length) return false;
  const FileDescriptor fd(retry_interrupted([&] {
    return ::open(paths.backup.data(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  struct stat status {};
  TextSummary text;
  return fd.valid() && ::fstat(fd.get(), &status) == 0 && same_file(status, backup) &&
         summarize_text(fd.get(), text) && text == summary;
}

}  // namespace

bool summarize_text(int fd, TextSummary& summary) {
  std::array<std::uint64_t, kLanes> lanes{1, 2, 3, 4};
  // Blocks are filled whole, so the rounds fall the same way however the
  // reads come back; the short last one is padded with zeros.
  alignas(8) std::array<unsigned char, 8192> block{};
  summary = TextSummary{};
  for (bool at_end = false; !at_end;) {
    std::size_t length = 0;
    while (length < block.size()) {
      const auto offset = static_cast<off_t>(summary.length + length);
      const ssize_t got = retry_interrupted(
          [&] { return ::pread(fd, block.data() + length, block.size() - length, offset); });
      if (got < 0) return false;
      if (got == 0) {
        at_end = true;
        break;
      }
      length += static_cast<std::size_t>(got);
    }
    const std::size_t rounded = (length + kLanes * 8 - 1) / (kLanes * 8) * (kLanes * 8);
    std::fill(block.begin() + static_cast<std::ptrdiff_t>(length),
              block.begin() + static_cast<std::ptrdiff_t>(rounded), 0);
    mix_block(lanes, block.data(), rounded);
    summary.length += length;
  }
  std::uint64_t checksum = summary.length;
  for (const std::uint64_t lane : lanes) checksum = mix(checksum, lane);
  summary.checksum = checksum;
  return true;
}

CopyBackRecord make_record(const struct stat& hints, const struct stat& backup,
                           const TextSummary& new_text) {
  return CopyBackRecord{static_cast<std::uintmax_t>(hints.st_dev),
                        static_cast<std::uintmax_t>(hints.st_ino),
                        static_cast<std::uintmax_t>(backup.st_dev),
                        static_cast<std::uintmax_t>(backup.st_ino),
                        static_cast<std::uintmax_t>(backup.st_size), new_text};
}

MarkerState inspect_marker(const UpdatePaths& paths, const HintsFile& hints,
                           CopyBackRecord& record) {
  struct stat named {};
  if (::lstat(paths.marker.data(), &named) != 0) {
    return errno == ENOENT ? MarkerState::Absent : MarkerState::Stale;
  }
  struct stat backup {};
  if (!S_ISREG(named.st_mode) || !read_record(paths, hints, named, record) ||
      !matches(record.hints_device, record.hints_inode, hints.status) ||
      ::lstat(paths.backup.data(), &backup) != 0 || !S_ISREG(backup.st_mode) ||
      !matches(record.backup_device, record.backup_inode, backup) ||
      record.backup_size != static_cast<std::uintmax_t>(backup.st_size))
    return MarkerState::Stale;
  // A hints file that cannot be read is taken as torn: the backup must then
  // not be overwritten with it.
  TextSummary now;
  if (!summarize_text(hints.fd.get(), now)) return MarkerState::Interrupted;
  // The copy back finished, or never cut the file, or a restore finished.
  if (now == record.new_text || backup_holds(paths, backup, now)) return MarkerState::Stale;
  return MarkerState::Interrupted;
}

bool write_marker(const UpdatePaths& paths, const HintsFile& hints, const CopyBackRecord& record,
                  bool remove_on_failure) {
  char text[kMaxRecord + 1];
  const int length = std::snprintf(text, sizeof text, kRecordFormat, record.hints_device,
                                   record.hints_inode, record.backup_device, record.backup_inode,
                                   record.backup_size, record.new_text.length,
                                   record.new_text.checksum);
  AsidePath aside{};
  FileDescriptor fd = make_aside_file(paths, aside);
  if (!fd.valid()) return false;
  // Readable by whoever may read the hints file: readers check it too.
  bool written = length > 0 && ::fchmod(fd.get(), hints.status.st_mode & 0666) == 0 &&
                 write_all(fd.get(), text, static_cast<std::size_t>(length)) &&
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
