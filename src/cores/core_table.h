// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>
#include <memory>


/// Modifiers of a hints-file update, carried in CoreTable::flags;
/// the command line only fills them.
enum UpdateFlags : std::uint32_t {
  Flat = 0x1,            // --flat
  Strip = 0x2,           // --strip
  WriteClockHint = 0x4,  // --write-clock-hint
  ToStdout = 0x8,        // --stdout
};

/// Per-core state: the two modes and the hint lines seen in the current pass.
struct CoreEntry {
  std::uint32_t apic_id = 0;
  std::uint8_t shared_now : 1 = 0;         // used by the operating system now
  std::uint8_t shared_next : 1 = 0;        // used by it after the next boot
  std::uint8_t clock_hint_done : 1 = 0;    // a clock hint was passed or written
  std::uint8_t disable_hint_done : 1 = 0;  // a disable hint was passed or written
};

/// A hash index of the entries by APIC id, so that a big hints file that names
/// every core many times costs one probe per line instead of a table walk.
/// Empty (no slots) when it could not be had: lookups then walk the table.
struct CoreIndex {
  std::unique_ptr<std::uint32_t[]> slots;  // entry index + 1, 0 when free
  std::uint32_t mask = 0;
  std::uint32_t shift = 32;
};

/// The cores in the driver's order; an entry's index is its CPU number.
/// The APIC ids are fixed once the table is made; the index relies on it.
struct CoreTable {
  std::unique_ptr<CoreEntry[]> entries;  // absent when cpu_count is 0
  std::uint32_t cpu_count = 0;
  std::uint32_t shared_count = 0;
  std::uint32_t flags = 0;  // UpdateFlags
  CoreIndex index;
};

using CoreTablePtr = std::unique_ptr<CoreTable>;

/// Builds the table from the driver's answer; the first `shared_count` cores
/// are shared now and next. Returns nothing when memory runs out.
CoreTablePtr create_core_table(std::uint32_t shared_count, std::uint32_t cpu_count,
                               const std::uint32_t* ids);

/// Fibonacci hashing: APIC ids are small and often evenly spaced, which the
/// multiplication spreads over the slots; the top bits are the best mixed.
inline std::uint32_t core_slot_of(std::uint32_t apic_id, std::uint32_t shift) {
  return (apic_id * 2654435761u) >> shift;
}

/// lookup_core without the index: a walk of the table, which may be empty.
CoreEntry* walk_core_table(CoreTable& table, std::uint32_t apic_id);

/// The first entry, in index order, with that APIC id, or nullptr. Inline:
/// the edit pass asks once for every hint line of a file.
inline CoreEntry* lookup_core(CoreTable& table, std::uint32_t apic_id) {
  // An index exists only beside entries; the walk answers for an empty table.
  const CoreIndex& index = table.index;
  if (!index.slots) return walk_core_table(table, apic_id);
  for (std::uint32_t slot = core_slot_of(apic_id, index.shift);; slot = (slot + 1) & index.mask) {
    const std::uint32_t entry = index.slots[slot];
    if (entry == 0) return nullptr;
    if (table.entries[entry - 1].apic_id == apic_id) return &table.entries[entry - 1];
  }
}

/// True for the first entry of its APIC id; a later entry with an id seen
/// before is a duplicate that no hint line belongs to.
bool is_first_of_its_id(CoreTable& table, const CoreEntry& entry);

/// Keeps the first `n` cores (always at least the first) shared after the next
/// boot and isolates the rest; `n` compares as an unsigned number.
void assign_shared_cores(CoreTable& table, std::uint32_t n);

/// Releases the entries and then the table.
void release_core_table(CoreTablePtr table);
