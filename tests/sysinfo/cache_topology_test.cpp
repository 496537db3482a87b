// SPDX-License-Identifier: BSD-2-Clause
#include "sysinfo/cache_topology.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "fake_processor.h"
#include "stdout_capture.h"

namespace {

constexpr std::uint32_t kData = 1;
constexpr std::uint32_t kInstruction = 2;
constexpr std::uint32_t kUnified = 3;

class CacheTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_fakes(); }

  // A usual list: L1 data and instruction, unified L2 (512 KiB, 8 ways, two
  // ids per cache) and L3 (16 MiB, 16 ways, sixteen ids per cache).
  static void describe_caches(std::uint32_t leaf) {
    set_cpuid(leaf, 0, cache_leaf(kData, 1, 1, 7, 63, 0, 63));
    set_cpuid(leaf, 1, cache_leaf(kInstruction, 1, 1, 7, 63, 0, 63));
    set_cpuid(leaf, 2, cache_leaf(kUnified, 2, 1, 7, 63, 0, 1023));
    set_cpuid(leaf, 3, cache_leaf(kUnified, 3, 15, 15, 63, 0, 16383));
  }

  static std::string both_levels(const std::uint32_t* ids, std::uint32_t count) {
    return capture_stdout([&] {
      write_cache_attributes(2, ids, count);
      write_cache_attributes(3, ids, count);
    });
  }
};

constexpr std::uint32_t kEightIds[] = {0, 1, 2, 3, 4, 5, 6, 7};

const std::string kFullGroups =
    "\tL2CacheSize=\"512\"\r\n\tL2CacheAssoc=\"8\"\r\n\tL2CacheAmount=\"4\"\r\n"
    "\tL3CacheSize=\"16384\"\r\n\tL3CacheAssoc=\"16\"\r\n\tL3CacheAmount=\"1\"\r\n";
const std::string kNoCaches = "\tL2CacheSize=\"0\"\r\n\tL3CacheSize=\"0\"\r\n";

TEST_F(CacheTopologyTest, ReadsIntelLeafFour) {
  make_intel(4);
  describe_caches(4);
  EXPECT_EQ(both_levels(kEightIds, 8), kFullGroups);
  // Without an id list there is nothing to count.
  EXPECT_EQ(both_levels(nullptr, 8),
            "\tL2CacheSize=\"512\"\r\n\tL2CacheAssoc=\"8\"\r\n"
            "\tL3CacheSize=\"16384\"\r\n\tL3CacheAssoc=\"16\"\r\n");
}

TEST_F(CacheTopologyTest, ReadsAmdLeafWithTopologyExtensions) {
  make_amd(0x8000001D, true);
  describe_caches(0x8000001D);
  set_cpuid(4, 0, cache_leaf(kUnified, 2, 0, 0, 0, 0, 0));  // Intel's leaf is not AMD's
  EXPECT_EQ(both_levels(kEightIds, 8), kFullGroups);
}

TEST_F(CacheTopologyTest, NoDescriptionWithoutTheVendorsLeaf) {
  struct Case {
    const char* what;
    void (*processor)();
  };
  const Case cases[] = {
      {"intel, highest basic leaf 3", [] { make_intel(3); }},
      {"amd, highest extended leaf 0x8000001C", [] { make_amd(0x8000001C, true); }},
      {"amd without topology extensions", [] { make_amd(0x80000020, false); }},
      {"a third vendor", [] { set_cpuid(0, 0, {0x20, 0x12345678, 0x9ABCDEF0, 0x0FEDCBA9}); }},
  };
  for (const Case& c : cases) {
    // Everything else a cache lookup could use is there; the case takes one piece away.
    reset_fakes();
    describe_caches(4);
    describe_caches(0x8000001D);
    set_cpuid(0x80000000, 0, {0x80000020, 0, 0, 0});
    set_cpuid(0x80000001, 0, {0, 0, 0x400000, 0});
    c.processor();
    EXPECT_EQ(both_levels(kEightIds, 8), kNoCaches) << c.what;
  }
}

TEST_F(CacheTopologyTest, OnlyUnifiedCachesOfTheLevelCount) {
  make_intel(0x16);
  set_cpuid(4, 0, cache_leaf(kData, 2, 1, 7, 63, 0, 1023));
  set_cpuid(4, 1, cache_leaf(kInstruction, 2, 1, 7, 63, 0, 1023));
  set_cpuid(4, 2, cache_leaf(kUnified, 1, 1, 7, 63, 0, 1023));
  EXPECT_EQ(both_levels(kEightIds, 8), kNoCaches);

  // Levels 1 and 2 only: the full level-2 group and a bare level 3.
  describe_caches(4);
  set_cpuid(4, 3, {});
  EXPECT_EQ(both_levels(kEightIds, 8),
            "\tL2CacheSize=\"512\"\r\n\tL2CacheAssoc=\"8\"\r\n\tL2CacheAmount=\"4\"\r\n"
            "\tL3CacheSize=\"0\"\r\n");
}

TEST_F(CacheTopologyTest, ScansAtMostSixtyFourSubleaves) {
  make_intel(4);
  for (std::uint32_t subleaf = 0; subleaf < 70; ++subleaf) {
    set_cpuid(4, subleaf, cache_leaf(kData, 1, 0, 0, 0, 0, 0));
  }
  CpuidRegisters found{};
  const CpuidRegisters l2 = cache_leaf(kUnified, 2, 1, 7, 63, 0, 1023);
  set_cpuid(4, 64, l2);
  EXPECT_FALSE(find_unified_cache(2, found));

  set_cpuid(4, 63, l2);
  ASSERT_TRUE(find_unified_cache(2, found));
  EXPECT_EQ(found.eax, l2.eax);
  EXPECT_EQ(found.ebx, l2.ebx);
  EXPECT_EQ(found.ecx, l2.ecx);
}

TEST_F(CacheTopologyTest, ListEndStopsTheScan) {
  make_intel(4);
  set_cpuid(4, 1, cache_leaf(kUnified, 2, 1, 7, 63, 0, 1023));  // behind the end at sub-leaf 0
  CpuidRegisters found{};
  EXPECT_FALSE(find_unified_cache(2, found));
}

TEST_F(CacheTopologyTest, SizeMultipliesFieldsInThirtyTwoBits) {
  EXPECT_EQ(cache_size_bytes(cache_leaf(kUnified, 2, 0, 7, 63, 0, 1023)), 524288U);
  EXPECT_EQ(cache_size_bytes(cache_leaf(kUnified, 2, 0, 3, 63, 1, 7)), 4U * 64 * 2 * 8);
  // 16 ways x 64 bytes x 4 Mi sets is exactly 4 GiB: wraps to 0.
  EXPECT_EQ(cache_size_bytes(cache_leaf(kUnified, 3, 0, 15, 63, 0, 0x3FFFFF)), 0U);
  EXPECT_EQ(cache_size_bytes(cache_leaf(kUnified, 3, 0, 15, 63, 0, 0x3FFFFF + 1)), 1024U);
}

TEST_F(CacheTopologyTest, SharingMaskRoundsUpToAPowerOfTwo) {
  const struct {
    std::uint32_t sharing;
    std::uint32_t mask;
  } rows[] = {{0, 0xFFFFFFFF}, {1, 0xFFFFFFFE}, {2, 0xFFFFFFFC}, {3, 0xFFFFFFFC},
              {4, 0xFFFFFFF8}, {7, 0xFFFFFFF8}, {8, 0xFFFFFFF0}, {15, 0xFFFFFFF0},
              {16, 0xFFFFFFE0}, {4095, 0xFFFFF000}};
  for (const auto& row : rows) {
    // Type, level and the bits above the field must not leak into the mask.
    CpuidRegisters descriptor = cache_leaf(kUnified, 7, row.sharing, 1023, 4095, 1023, ~0U);
    descriptor.eax |= 0xFC000000;
    EXPECT_EQ(cache_sharing_mask(descriptor), row.mask) << "sharing field " << row.sharing;
  }
}

TEST_F(CacheTopologyTest, CountsDistinctMaskedIds) {
  EXPECT_EQ(count_cache_instances(kEightIds, 8, 0xFFFFFFFE), 4U);
  EXPECT_EQ(count_cache_instances(kEightIds, 8, 0xFFFFFFF0), 1U);
  const std::uint32_t even[] = {0, 2, 4, 6};
  EXPECT_EQ(count_cache_instances(even, 4, 0xFFFFFFFE), 4U);
  EXPECT_EQ(count_cache_instances(even, 4, 0xFFFFFFFF), 4U);
  const std::uint32_t repeated[] = {6, 3, 6, 6, 3};
  EXPECT_EQ(count_cache_instances(repeated, 5, 0xFFFFFFFF), 2U);
  EXPECT_EQ(count_cache_instances(kEightIds, 3, 0xFFFFFFFF), 3U);
  EXPECT_EQ(count_cache_instances(kEightIds, 0, 0xFFFFFFFF), 0U);
}

TEST_F(CacheTopologyTest, CountAboveCapacityIsCutTo256) {
  std::vector<std::uint32_t> ids(300);
  std::iota(ids.begin(), ids.end(), 0U);
  EXPECT_EQ(count_cache_instances(ids.data(), 300, 0xFFFFFFFF), 256U);
  // Ids past the 256th are never looked at.
  ids[256] = 1000;
  EXPECT_EQ(count_cache_instances(ids.data(), 300, 0xFFFFFF00), 1U);
}

}  // namespace
