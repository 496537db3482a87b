#pragma once

#include <cstdint>
#include <memory>

#include "cores/core_table.h"

/// While it lives, find_core answers from a hash index of `table` instead of
/// walking the table for every hint line (a big file names every core many
/// times). The table's APIC ids must not change meanwhile; its bits may.
/// Without memory for the index, find_core walks the table as before.
class ScopedCoreIndex {
 public:
  explicit ScopedCoreIndex(CoreTable& table);
  ~ScopedCoreIndex();
  ScopedCoreIndex(const ScopedCoreIndex&) = delete;
  ScopedCoreIndex& operator=(const ScopedCoreIndex&) = delete;

 private:
  friend CoreEntry* find_core(CoreTable& table, std::uint32_t apic_id);
  CoreTable& table_;
  std::unique_ptr<std::uint32_t[]> slots_;  // entry index + 1, 0 when free
  std::uint32_t mask_ = 0;
  std::uint32_t shift_ = 32;
  ScopedCoreIndex* outer_;
};

/// The same answer as lookup_core: the first entry, in index order, with that
/// APIC id, or nullptr.
CoreEntry* find_core(CoreTable& table, std::uint32_t apic_id);
