// SPDX-License-Identifier: BSD-2-Clause
#include "cores/core_table.h"

#include <new>

namespace {

/// Indexes the first entry of every id. Without memory the index stays empty
/// and lookups walk the table: slower, same answers.
void build_index(CoreTable& table) {
  if (table.cpu_count > (1u << 30)) return;
  // At least twice as many slots as cores keeps the probe runs short.
  std::uint32_t size = 16;
  std::uint32_t shift = 28;
  while (size < 2 * table.cpu_count) {
    size *= 2;
    --shift;
  }
  CoreIndex& index = table.index;
  try {
    index.slots = std::make_unique<std::uint32_t[]>(size);
  } catch (const std::bad_alloc&) {
    return;
  }
  index.mask = size - 1;
  index.shift = shift;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    const std::uint32_t id = table.entries[i].apic_id;
    std::uint32_t slot = core_slot_of(id, index.shift);
    // A later core with the same id stays unindexed: the first one is the answer.
    while (index.slots[slot] != 0 && table.entries[index.slots[slot] - 1].apic_id != id)
      slot = (slot + 1) & index.mask;
    if (index.slots[slot] == 0) index.slots[slot] = i + 1;
  }
}

}  // namespace

CoreTablePtr create_core_table(std::uint32_t shared_count, std::uint32_t cpu_count,
                               const std::uint32_t* ids) {
  CoreTablePtr table;
  try {
    table = std::make_unique<CoreTable>();
    table->cpu_count = cpu_count;
    table->shared_count = shared_count;
    table->flags &= ~(Flat | Strip | WriteClockHint);
    if (cpu_count == 0) {
      return table;
    }
    table->entries = std::make_unique<CoreEntry[]>(cpu_count);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

  for (std::uint32_t i = 0; i < cpu_count; ++i) {
    CoreEntry& entry = table->entries[i];
    entry.apic_id = ids[i];
    entry.shared_now = i < shared_count;
    entry.shared_next = i < shared_count;
  }
  build_index(*table);
  return table;
}

CoreEntry* walk_core_table(CoreTable& table, std::uint32_t apic_id) {
  if (!table.entries) return nullptr;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    if (table.entries[i].apic_id == apic_id) return &table.entries[i];
  }
  return nullptr;
}

bool is_first_of_its_id(CoreTable& table, const CoreEntry& entry) {
  return lookup_core(table, entry.apic_id) == &entry;
}

void assign_shared_cores(CoreTable& table, std::uint32_t n) {
  if (table.cpu_count == 0 || !table.entries) {
    return;
  }
  // The boot processor cannot be withheld from the operating system.
  table.entries[0].shared_next = 1;
  for (std::uint32_t i = 1; i < table.cpu_count; ++i) {
    table.entries[i].shared_next = i < n;
  }
}

void release_core_table(CoreTablePtr table) {
  if (table) {
    table->index.slots.reset();
    table->entries.reset();
  }
}
