// SPDX-License-Identifier: BSD-2-Clause
#include "cores/core_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CoreTablePtr make_table(const std::vector<std::uint32_t>& ids, std::uint32_t shared_count) {
  CoreTablePtr table = create_core_table(shared_count, static_cast<std::uint32_t>(ids.size()), ids.data());
  EXPECT_NE(table, nullptr);
  return table;
}

// "S" for a core shared after the next boot, "I" for an isolated one.
std::string next_boot_split(const CoreTable& table) {
  std::string split;
  for (std::uint32_t i = 0; i < table.cpu_count; ++i) {
    split += table.entries[i].shared_next ? 'S' : 'I';
  }
  return split;
}

TEST(CoreTable, CreationTakesTheDriverOrderAndMarksTheLeadingSharedRun) {
  const CoreTablePtr table = make_table({0x00, 0x02, 0x04, 0x06}, 2);
  ASSERT_EQ(table->cpu_count, 4u);
  EXPECT_EQ(table->shared_count, 2u);
  EXPECT_EQ(table->flags, 0u);
  for (std::uint32_t i = 0; i < 4; ++i) {
    const CoreEntry& entry = table->entries[i];
    EXPECT_EQ(entry.apic_id, 2 * i);
    EXPECT_EQ(entry.shared_now, i < 2) << i;
    EXPECT_EQ(entry.shared_next, i < 2) << i;
    EXPECT_EQ(entry.clock_hint_done, 0) << i;
    EXPECT_EQ(entry.disable_hint_done, 0) << i;
  }
}

TEST(CoreTable, SharedCountAboveTheCoresSharesEveryCore) {
  const CoreTablePtr table = make_table({1, 3}, 7);
  EXPECT_EQ(next_boot_split(*table), "SS");
}

TEST(CoreTable, NoCoresGivesATableWithoutEntriesThatFindsNothing) {
  const CoreTablePtr table = create_core_table(0, 0, nullptr);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->entries, nullptr);
  EXPECT_EQ(lookup_core(*table, 0), nullptr);
  assign_shared_cores(*table, 3);  // must not touch a missing entry
}

TEST(CoreTable, LookupFindsTheFirstEntryOfAnId) {
  const CoreTablePtr table = make_table({0x00, 0x02, 0x04, 0x06, 0x04}, 2);
  EXPECT_EQ(lookup_core(*table, 0x04), &table->entries[2]);
  EXPECT_EQ(lookup_core(*table, 0x06), &table->entries[3]);
  EXPECT_EQ(lookup_core(*table, 0x03), nullptr);
  EXPECT_EQ(lookup_core(*table, 0xFFFFFFFF), nullptr);
  EXPECT_TRUE(is_first_of_its_id(*table, table->entries[2]));
  EXPECT_FALSE(is_first_of_its_id(*table, table->entries[4]));

  // Through the hash index as through a walk: ids that share their low bits
  // collide, repeats answer with their first entry, absent ids with nothing.
  std::vector<std::uint32_t> ids{7, 3, 7, 0, 0xFFFFFFFFu, 3};
  for (std::uint32_t i = 1; i <= 64; ++i) ids.push_back(i << 16);
  const CoreTablePtr big = make_table(ids, 1);
  ASSERT_NE(big->index.slots, nullptr);
  std::vector<std::uint32_t> probes = ids;
  probes.insert(probes.end(), {1u, 8u, 0xFFFFFFFEu, 65u << 16, (1u << 16) + 1});
  for (const std::uint32_t id : probes) {
    const CoreEntry* walked = nullptr;
    for (std::uint32_t i = 0; i < big->cpu_count && walked == nullptr; ++i) {
      if (big->entries[i].apic_id == id) walked = &big->entries[i];
    }
    EXPECT_EQ(lookup_core(*big, id), walked) << "id " << id;
  }
}

TEST(CoreTable, AssignKeepsTheFirstCoreSharedAndALeadingRun) {
  struct Case {
    std::uint32_t n;
    const char* split;
  };
  const Case cases[] = {
      {0, "SIII"}, {1, "SIII"}, {2, "SSII"}, {3, "SSSI"}, {4, "SSSS"}, {5, "SSSS"},
      // A negative -s count arrives as a very large unsigned number.
      {static_cast<std::uint32_t>(-1), "SSSS"},
      {static_cast<std::uint32_t>(INT32_MIN), "SSSS"},
  };
  for (const Case& c : cases) {
    const CoreTablePtr table = make_table({0, 2, 4, 6}, 1);
    table->entries[3].disable_hint_done = 1;
    assign_shared_cores(*table, c.n);
    EXPECT_EQ(next_boot_split(*table), c.split) << "n = " << c.n;
    // Only the next-boot mode changes.
    EXPECT_EQ(table->entries[1].shared_now, 0);
    EXPECT_EQ(table->entries[0].shared_now, 1);
    EXPECT_EQ(table->entries[3].disable_hint_done, 1);
  }
}

TEST(CoreTable, SingleCoreStaysSharedWhateverTheCount) {
  const CoreTablePtr table = make_table({0x10}, 0);
  EXPECT_EQ(next_boot_split(*table), "I");
  assign_shared_cores(*table, 0);
  EXPECT_EQ(next_boot_split(*table), "S");
}

TEST(CoreTable, ReleaseAcceptsATableAndNothing) {
  release_core_table(make_table({0, 1}, 1));
  release_core_table(nullptr);
}

}  // namespace
