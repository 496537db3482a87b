#pragma once

#include <cstdint>
#include <memory>

/// Per-core state: the two modes and the hint lines seen in the current pass.
struct CoreEntry {
  std::uint32_t apic_id = 0;
  std::uint8_t shared_now : 1 = 0;         // used by the operating system now
  std::uint8_t shared_next : 1 = 0;        // used by it after the next boot
  std::uint8_t clock_hint_done : 1 = 0;    // a clock hint was passed or written
  std::uint8_t disable_hint_done : 1 = 0;  // a disable hint was passed or written
};

/// The cores in the driver's order; an entry's index is its CPU number.
struct CoreTable {
  std::unique_ptr<CoreEntry[]> entries;  // absent when cpu_count is 0
  std::uint32_t cpu_count = 0;
  std::uint32_t shared_count = 0;
  std::uint32_t flags = 0;  // UpdateFlags
};

using CoreTablePtr = std::unique_ptr<CoreTable>;

/// Builds the table from the driver's answer; the first `shared_count` cores
/// are shared now and next. Returns nothing when memory runs out.
CoreTablePtr create_core_table(std::uint32_t shared_count, std::uint32_t cpu_count,
                               const std::uint32_t* ids);

/// The first entry, in index order, with that APIC id, or nullptr.
CoreEntry* lookup_core(CoreTable& table, std::uint32_t apic_id);

/// Keeps the first `n` cores (always at least the first) shared after the next
/// boot and isolates the rest; `n` compares as an unsigned number.
void assign_shared_cores(CoreTable& table, std::uint32_t n);

/// Releases the entries and then the table.
void release_core_table(CoreTablePtr table);
