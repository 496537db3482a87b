#include "cores/core_table.h"

#include "cli/options.h"

#include <new>

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
  return table;
}

CoreEntry* lookup_core(CoreTable& table, std::uint32_t apic_id) {
  if (table.cpu_count == 0 || !table.entries) {
    return nullptr;
  }
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    if (table.entries[i].apic_id == apic_id) {
      return &table.entries[i];
    }
  }
  return nullptr;
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
    table->entries.reset();
  }
}
