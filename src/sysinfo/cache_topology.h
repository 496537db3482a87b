// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <cstdint>

#include "sysinfo/cpu_identity.h"

/// Looks for a unified cache of `level` in the processor's deterministic cache
/// parameters (Intel's leaf 4, AMD's leaf 0x8000001D). True, with the sub-leaf's
/// registers copied to `descriptor_out`, when one is described.
bool find_unified_cache(std::uint32_t level, CpuidRegisters& descriptor_out);

/// The cache's size in bytes: ways x line size x sets x partitions, in 32 bits.
std::uint32_t cache_size_bytes(const CpuidRegisters& descriptor);

/// The mask that leaves the part of an APIC id common to all ids sharing the cache.
std::uint32_t cache_sharing_mask(const CpuidRegisters& descriptor);

/// The number of distinct values of id AND `mask` among the first `count` ids
/// (at most 256 are looked at). Returns 0 when the scratch set cannot be allocated.
std::uint32_t count_cache_instances(const std::uint32_t* ids, std::uint32_t count, std::uint32_t mask);

/// Writes L<level>CacheSize, and when the cache is described L<level>CacheAssoc
/// and L<level>CacheAmount (the latter only with `ids` and a count above 0).
void write_cache_attributes(int level, const std::uint32_t* ids, std::uint32_t count);
