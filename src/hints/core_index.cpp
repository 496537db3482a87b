#include "hints/core_index.h"

#include <new>

namespace {

/// The index of the pass that is running, if any. The handlers of the line
/// filter are plain functions, so this is how the pass hands it to them.
ScopedCoreIndex* g_active = nullptr;

/// Fibonacci hashing: APIC ids are small and often evenly spaced, which the
/// multiplication spreads over the slots; the top bits are the best mixed.
std::uint32_t slot_of(std::uint32_t apic_id, std::uint32_t shift) {
  return (apic_id * 2654435761u) >> shift;
}

}  // namespace

ScopedCoreIndex::ScopedCoreIndex(CoreTable& table) : table_(table), outer_(g_active) {
  g_active = this;
  if (!table.entries || table.cpu_count == 0 || table.cpu_count > (1u << 30)) return;
  // At least twice as many slots as cores keeps the probe runs short.
  std::uint32_t size = 16;
  std::uint32_t shift = 28;
  while (size < 2 * table.cpu_count) {
    size *= 2;
    --shift;
  }
  try {
    slots_ = std::make_unique<std::uint32_t[]>(size);
  } catch (const std::bad_alloc&) {
    return;
  }
  mask_ = size - 1;
  shift_ = shift;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    const std::uint32_t id = table.entries[i].apic_id;
    std::uint32_t slot = slot_of(id, shift_);
    // A later core with the same id stays unindexed: the first one is the answer.
    while (slots_[slot] != 0 && table.entries[slots_[slot] - 1].apic_id != id)
      slot = (slot + 1) & mask_;
    if (slots_[slot] == 0) slots_[slot] = i + 1;
  }
}

ScopedCoreIndex::~ScopedCoreIndex() { g_active = outer_; }

CoreEntry* find_core(CoreTable& table, std::uint32_t apic_id) {
  const ScopedCoreIndex* index = g_active;
  if (index == nullptr || &index->table_ != &table || !index->slots_)
    return lookup_core(table, apic_id);
  for (std::uint32_t slot = slot_of(apic_id, index->shift_);; slot = (slot + 1) & index->mask_) {
    const std::uint32_t entry = index->slots_[slot];
    if (entry == 0) return nullptr;
    if (table.entries[entry - 1].apic_id == apic_id) return &table.entries[entry - 1];
  }
}
