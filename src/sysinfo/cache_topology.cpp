// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/cache_topology.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>

#include "sysinfo/attribute_writer.h"

namespace {

constexpr std::uint32_t kIntelCacheLeaf = 4;
constexpr std::uint32_t kAmdCacheLeaf = 0x8000001D;
constexpr std::uint32_t kAmdFeatureLeaf = 0x80000001;
constexpr std::uint32_t kHighestExtendedLeaf = 0x80000000;
constexpr std::uint32_t kTopologyExtensions = 0x400000;  // leaf 0x80000001 ecx bit 22
constexpr std::uint32_t kMaxSubleaves = 64;

constexpr std::uint32_t kCacheTypeEnd = 0;
constexpr std::uint32_t kCacheTypeUnified = 3;

// The driver was given room for 256 ids, and the scratch set has as many slots.
constexpr std::uint32_t kDistinctSetSlots = 256;

std::uint32_t bits(std::uint32_t word, unsigned low, unsigned width) {
  return (word >> low) & ((1U << width) - 1U);
}

std::uint32_t cache_type(const CpuidRegisters& d) { return bits(d.eax, 0, 5); }
std::uint32_t cache_level(const CpuidRegisters& d) { return bits(d.eax, 5, 3); }
std::uint32_t cache_ways(const CpuidRegisters& d) { return bits(d.ebx, 22, 10) + 1; }

std::uint32_t highest_leaf(std::uint32_t range) {
  CpuidRegisters regs{};
  read_cpuid(regs, range, 0);
  return regs.eax;
}

// The vendor's cache leaf, or 0 when the processor describes no caches there.
std::uint32_t choose_cache_leaf() {
  if (is_intel_cpu()) {
    return highest_leaf(0) >= kIntelCacheLeaf ? kIntelCacheLeaf : 0;
  }
  if (!is_amd_cpu() || highest_leaf(kHighestExtendedLeaf) < kAmdCacheLeaf) {
    return 0;
  }
  CpuidRegisters features{};
  read_cpuid(features, kAmdFeatureLeaf, 0);
  return (features.ecx & kTopologyExtensions) != 0 ? kAmdCacheLeaf : 0;
}

// An exhausted heap means no count, never an exception out of the report.
std::unique_ptr<std::uint32_t[]> allocate_distinct_set() {
  try {
    return std::make_unique<std::uint32_t[]>(kDistinctSetSlots);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

}  // namespace

bool find_unified_cache(std::uint32_t level, CpuidRegisters& descriptor_out) {
  const std::uint32_t leaf = choose_cache_leaf();
  if (leaf == 0) {
    return false;
  }
  for (std::uint32_t subleaf = 0; subleaf < kMaxSubleaves; ++subleaf) {
    CpuidRegisters regs{};
    read_cpuid(regs, leaf, subleaf);
    if (cache_type(regs) == kCacheTypeEnd) {
      return false;
    }
    if (cache_level(regs) == level && cache_type(regs) == kCacheTypeUnified) {
      descriptor_out = regs;
      return true;
    }
  }
  return false;
}

// Multiplied in 32 bits on purpose: a product of 4 GiB or more wraps.
std::uint32_t cache_size_bytes(const CpuidRegisters& descriptor) {
  const std::uint32_t line_size = bits(descriptor.ebx, 0, 12) + 1;
  const std::uint32_t partitions = bits(descriptor.ebx, 12, 10) + 1;
  const std::uint32_t sets = descriptor.ecx + 1;
  return cache_ways(descriptor) * line_size * sets * partitions;
}

std::uint32_t cache_sharing_mask(const CpuidRegisters& descriptor) {
  const std::uint32_t sharing = bits(descriptor.eax, 14, 12) + 1;
  std::uint32_t low_bits = 0;
  while (low_bits + 1 < sharing) {
    low_bits = (low_bits << 1) | 1U;
  }
  return ~low_bits;
}

// A plain scan: at most 256 x 256 comparisons, cheaper than anything cleverer.
std::uint32_t count_cache_instances(const std::uint32_t* ids, std::uint32_t count, std::uint32_t mask) {
  const std::unique_ptr<std::uint32_t[]> seen = allocate_distinct_set();
  if (!seen) {
    return 0;
  }
  const std::uint32_t listed = std::min(count, kDistinctSetSlots);
  std::uint32_t distinct = 0;
  for (std::uint32_t i = 0; i < listed; ++i) {
    const std::uint32_t value = ids[i] & mask;
    if (std::find(seen.get(), seen.get() + distinct, value) == seen.get() + distinct) {
      seen[distinct++] = value;
    }
  }
  return distinct;
}

void write_cache_attributes(int level, const std::uint32_t* ids, std::uint32_t count) {
  char size_name[32];
  std::snprintf(size_name, sizeof size_name, "L%dCacheSize", level);
  CpuidRegisters descriptor{};
  if (!find_unified_cache(static_cast<std::uint32_t>(level), descriptor)) {
    write_text_attribute(size_name, "0");
    return;
  }
  write_number_attribute(size_name, cache_size_bytes(descriptor) >> 10);

  char assoc_name[32];
  std::snprintf(assoc_name, sizeof assoc_name, "L%dCacheAssoc", level);
  write_number_attribute(assoc_name, cache_ways(descriptor));
  if (ids == nullptr) {
    return;
  }
  const std::uint32_t amount = count_cache_instances(ids, count, cache_sharing_mask(descriptor));
  if (amount > 0) {
    char amount_name[32];
    std::snprintf(amount_name, sizeof amount_name, "L%dCacheAmount", level);
    write_number_attribute(amount_name, amount);
  }
}
