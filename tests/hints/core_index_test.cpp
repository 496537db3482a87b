// The hash index must give lookup_core's answer for every id, or the edit
// pass and the report would mark the wrong core.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "filter_harness.h"
#include "hints/core_index.h"

namespace {

using hints_test::make_table;

/// Compares the indexed answer with the table walk for every id in `probes`.
void expect_same_answers(CoreTable& table, const std::vector<std::uint32_t>& probes) {
  const ScopedCoreIndex index(table);
  for (const std::uint32_t id : probes) {
    EXPECT_EQ(find_core(table, id), lookup_core(table, id)) << "id " << id;
  }
}

TEST(CoreIndex, AgreesWithTheTableWalkOnDuplicatesMissesAndCollisions) {
  // Repeated ids (the first entry answers), ids that share low bits, the
  // extremes of the range, and ids that no core has.
  std::vector<std::uint32_t> ids{7, 3, 7, 0, 0xFFFFFFFFu, 3};
  for (std::uint32_t i = 1; i <= 64; ++i) ids.push_back(i << 16);
  auto table = make_table(ids, 2, 2);
  std::vector<std::uint32_t> probes = ids;
  for (const std::uint32_t missing : {1u, 2u, 8u, 0xFFFFFFFEu, 65u << 16, (1u << 16) + 1})
    probes.push_back(missing);
  expect_same_answers(*table, probes);
  const ScopedCoreIndex index(*table);
  EXPECT_EQ(find_core(*table, 7), &table->entries[0]);
  EXPECT_EQ(find_core(*table, 3), &table->entries[1]);
}

TEST(CoreIndex, OtherTablesAndEndedScopesWalkTheTable) {
  auto indexed = make_table({0, 2, 4}, 3, 3);
  auto other = make_table({4, 2, 0}, 3, 3);
  {
    const ScopedCoreIndex index(*indexed);
    EXPECT_EQ(find_core(*other, 4), &other->entries[0]);
    EXPECT_EQ(find_core(*indexed, 4), &indexed->entries[2]);
  }
  // The index is gone: the table itself answers again, changed ids included.
  indexed->entries[2].apic_id = 9;
  EXPECT_EQ(find_core(*indexed, 4), nullptr);
  EXPECT_EQ(find_core(*indexed, 9), &indexed->entries[2]);
}

TEST(CoreIndex, EmptyTableFindsNothing) {
  CoreTable empty;
  const ScopedCoreIndex index(empty);
  EXPECT_EQ(find_core(empty, 0), nullptr);
}

}  // namespace
