// SPDX-License-Identifier: BSD-2-Clause
#pragma once

// Helpers shared by the fuzz targets: reading structured values off the
// fuzzer's bytes, building a core table, and catching standard output.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "cores/core_table.h"

/// Stops the run so libFuzzer keeps the input: an invariant broke.
/// Written to descriptor 2 itself: some targets send the stderr stream away.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      dprintf(2, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                 \
    }                                                                               \
  } while (false)

/// Hands out the fuzzer's bytes front to back; reads past the end give zeros,
/// so every input, however short, describes a complete case.
class FuzzInput {
 public:
  explicit FuzzInput(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::uint8_t byte() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }

  std::uint32_t word() {
    std::uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= std::uint32_t{byte()} << shift;
    return value;
  }

  /// Mostly small values, so ids repeat and meet the ids of the hint lines;
  /// a marker byte brings in any 32-bit value.
  std::uint32_t small_or_word() {
    const std::uint8_t b = byte();
    return b < 0xF0 ? b : word();
  }

  std::span<const std::uint8_t> rest() {
    const std::span<const std::uint8_t> tail = bytes_.subspan(pos_);
    pos_ = bytes_.size();
    return tail;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

/// A core table read from the input: up to 16 ids (repeats allowed), the
/// shared count, and the flags byte's low four bits as the update modifiers.
/// When bit 4 of the flags byte is set the split is assigned as -s would.
inline CoreTablePtr read_core_table(FuzzInput& in, std::vector<std::uint32_t>& ids) {
  const std::uint32_t count = in.byte() % 17;
  const std::uint8_t flags = in.byte();
  const std::uint32_t shared = in.byte();
  ids.clear();
  for (std::uint32_t i = 0; i < count; ++i) ids.push_back(in.small_or_word());
  CoreTablePtr table = create_core_table(shared, count, ids.data());
  if (!table) std::abort();
  if ((flags & 0x10) != 0) assign_shared_cores(*table, shared);
  table->flags = flags & 0x0F;
  return table;
}

/// Sends the C library's standard output stream into memory for one call.
/// The C library lets the stream variable be replaced; the fuzzer itself
/// only writes to standard error, so nothing else is caught.
template <typename Body>
std::string capture_stdout(Body body) {
  char* data = nullptr;
  std::size_t size = 0;
  std::FILE* memory = open_memstream(&data, &size);
  if (memory == nullptr) std::abort();
  std::FILE* const saved = stdout;
  stdout = memory;
  body();
  stdout = saved;
  std::fclose(memory);
  std::string bytes(data, size);
  std::free(data);  // open_memstream's buffer belongs to the caller
  return bytes;
}
