// SPDX-License-Identifier: BSD-2-Clause
// The cache functions fed any register values: read_cpuid answers from a table
// filled from the input, and every result is compared with a plain model.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "sysinfo/cache_topology.h"
#include "sysinfo/cpu_identity.h"

namespace {

constexpr std::uint32_t kIntelCacheLeaf = 4;
constexpr std::uint32_t kAmdCacheLeaf = 0x8000001D;
constexpr std::uint32_t kMaxSubleaves = 64;
constexpr std::uint32_t kMaxIds = 256;

constexpr CpuidRegisters kIntelVendor{0, 0x756E6547, 0x6C65746E, 0x49656E69};
constexpr CpuidRegisters kAmdVendor{0, 0x68747541, 0x444D4163, 0x69746E65};

/// The processor of one run.
struct FakeProcessor {
  CpuidRegisters vendor{};
  std::uint32_t highest_extended = 0;
  std::uint32_t features_ecx = 0;
  std::vector<CpuidRegisters> cache_leaves;  // sub-leaves of both cache leaves
};

FakeProcessor g_processor;

std::uint32_t field(std::uint32_t word, unsigned low, unsigned width) {
  return (word >> low) & ((1U << width) - 1U);
}

/// The cache leaf the vendor rules pick, or 0 when there is none.
std::uint32_t model_cache_leaf(const FakeProcessor& p) {
  const auto same_vendor = [&p](const CpuidRegisters& v) {
    return p.vendor.ebx == v.ebx && p.vendor.ecx == v.ecx && p.vendor.edx == v.edx;
  };
  if (same_vendor(kIntelVendor)) return p.vendor.eax >= 4 ? kIntelCacheLeaf : 0;
  if (!same_vendor(kAmdVendor) || p.highest_extended < kAmdCacheLeaf) return 0;
  return (p.features_ecx & 0x400000) != 0 ? kAmdCacheLeaf : 0;
}

/// The first unified cache of the level, or nothing when the list ends first.
const CpuidRegisters* model_find(const FakeProcessor& p, std::uint32_t level) {
  if (model_cache_leaf(p) == 0) return nullptr;
  for (std::uint32_t s = 0; s < kMaxSubleaves && s < p.cache_leaves.size(); ++s) {
    const CpuidRegisters& d = p.cache_leaves[s];
    if (field(d.eax, 0, 5) == 0) return nullptr;
    if (field(d.eax, 5, 3) == level && field(d.eax, 0, 5) == 3) return &d;
  }
  return nullptr;  // sub-leaves past the table read as zeros: the end of the list
}

/// Products in 64 bits; 2^32 divides 2^64, so the low half is the 32-bit product.
std::uint32_t model_size(const CpuidRegisters& d) {
  const std::uint64_t ways = field(d.ebx, 22, 10) + 1ULL;
  const std::uint64_t line = field(d.ebx, 0, 12) + 1ULL;
  const std::uint64_t parts = field(d.ebx, 12, 10) + 1ULL;
  const std::uint64_t sets = d.ecx + 1ULL;
  return static_cast<std::uint32_t>(ways * line * sets * parts);
}

/// The complement of 2^k - 1, with 2^k the smallest power of two not below
/// the sharing count.
std::uint32_t model_mask(const CpuidRegisters& d) {
  const std::uint64_t sharing = field(d.eax, 14, 12) + 1ULL;
  std::uint64_t power = 1;
  while (power < sharing) power <<= 1;
  return ~static_cast<std::uint32_t>(power - 1);
}

std::uint32_t model_count(const std::uint32_t* ids, std::uint32_t count, std::uint32_t mask) {
  std::set<std::uint32_t> distinct;
  for (std::uint32_t i = 0; i < std::min(count, kMaxIds); ++i) distinct.insert(ids[i] & mask);
  return static_cast<std::uint32_t>(distinct.size());
}

std::string number_line(const char* name, int level, std::uint64_t value) {
  char text[96];
  std::snprintf(text, sizeof text, "\tL%d%s=\"%llu\"\r\n", level, name,
                static_cast<unsigned long long>(value));
  return text;
}

/// The exact group write_cache_attributes must write for the level.
std::string model_group(int level, const std::uint32_t* ids, std::uint32_t count) {
  const CpuidRegisters* d = model_find(g_processor, static_cast<std::uint32_t>(level));
  if (d == nullptr) return number_line("CacheSize", level, 0);
  std::string group = number_line("CacheSize", level, model_size(*d) >> 10);
  group += number_line("CacheAssoc", level, field(d->ebx, 22, 10) + 1ULL);
  if (ids != nullptr) {
    const std::uint32_t amount = model_count(ids, count, model_mask(*d));
    if (amount > 0) group += number_line("CacheAmount", level, amount);
  }
  return group;
}

CpuidRegisters read_registers(FuzzInput& in) {
  CpuidRegisters r{};
  r.eax = in.word();
  r.ebx = in.word();
  r.ecx = in.word();
  r.edx = in.word();
  return r;
}

/// A cache sub-leaf; a selector byte steers the type and level fields towards
/// values that matter, so unified level-2 and level-3 caches come up often.
CpuidRegisters read_cache_leaf(FuzzInput& in) {
  const std::uint8_t shape = in.byte();
  CpuidRegisters r = read_registers(in);
  if ((shape & 0x80) == 0) {
    r.eax = (r.eax & ~0xFFu) | (shape & 0x7F);
    if ((shape & 0x40) == 0) r.eax = (r.eax & ~0x1Fu) | 3;  // unified
  }
  return r;
}

void read_processor(FuzzInput& in) {
  FakeProcessor& p = g_processor;
  const std::uint8_t vendor = in.byte();
  p.vendor = vendor % 3 == 0 ? kIntelVendor : vendor % 3 == 1 ? kAmdVendor : read_registers(in);
  p.vendor.eax = (vendor & 0x80) != 0 ? in.word() : 0x16;
  p.highest_extended = (vendor & 0x40) != 0 ? in.word() : kAmdCacheLeaf;
  p.features_ecx = (vendor & 0x20) != 0 ? in.word() : 0x400000;
  p.cache_leaves.clear();
  const std::uint32_t leaves = in.byte() % (kMaxSubleaves + 2);
  for (std::uint32_t i = 0; i < leaves; ++i) p.cache_leaves.push_back(read_cache_leaf(in));
}

void check_find(std::uint32_t level) {
  CpuidRegisters found{0xDEAD, 0xBEEF, 0xCAFE, 0xF00D};
  const CpuidRegisters untouched = found;
  const bool ok = find_unified_cache(level, found);
  const CpuidRegisters* expected = model_find(g_processor, level);
  FUZZ_CHECK(ok == (expected != nullptr));
  if (!ok) {
    FUZZ_CHECK(std::memcmp(&found, &untouched, sizeof found) == 0);
    return;
  }
  FUZZ_CHECK(std::memcmp(&found, expected, sizeof found) == 0);
  FUZZ_CHECK(field(found.eax, 0, 5) == 3 && field(found.eax, 5, 3) == level);
}

}  // namespace

void read_cpuid(CpuidRegisters& regs, std::uint32_t leaf, std::uint32_t subleaf) {
  const FakeProcessor& p = g_processor;
  regs = CpuidRegisters{};
  if (subleaf == 0 && leaf == 0) regs = p.vendor;
  if (subleaf == 0 && leaf == 0x80000000) regs.eax = p.highest_extended;
  if (subleaf == 0 && leaf == 0x80000001) regs.ecx = p.features_ecx;
  if ((leaf == kIntelCacheLeaf || leaf == kAmdCacheLeaf) && subleaf < p.cache_leaves.size()) {
    regs = p.cache_leaves[subleaf];
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in({data, size});
  read_processor(in);
  const CpuidRegisters loose = read_registers(in);
  const std::uint32_t loose_mask = in.word();
  const std::uint8_t choice = in.byte();
  const std::uint32_t asked_level = choice % 9;
  const bool ids_absent = (choice & 0x80) != 0;

  // Up to 320 listed, but never more ids than the driver has room for: a
  // longer count must be cut, not read past the array.
  const std::uint32_t count = in.byte() + in.byte() % 65;
  const std::uint32_t stored = std::min(count, kMaxIds);
  const auto ids = std::make_unique<std::uint32_t[]>(stored);
  for (std::uint32_t i = 0; i < stored; ++i) ids[i] = in.small_or_word();

  FUZZ_CHECK(cache_size_bytes(loose) == model_size(loose));
  const std::uint32_t mask = cache_sharing_mask(loose);
  FUZZ_CHECK(mask == model_mask(loose));
  FUZZ_CHECK(count_cache_instances(ids.get(), count, mask) == model_count(ids.get(), count, mask));
  FUZZ_CHECK(count_cache_instances(ids.get(), count, loose_mask) ==
             model_count(ids.get(), count, loose_mask));

  check_find(2);
  check_find(3);
  check_find(asked_level);

  for (const int level : {2, 3}) {
    const std::uint32_t* listed = ids_absent ? nullptr : ids.get();
    const std::string group = capture_stdout([&] { write_cache_attributes(level, listed, count); });
    FUZZ_CHECK(group == model_group(level, listed, count));
  }
  return 0;
}
