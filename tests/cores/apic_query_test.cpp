// SPDX-License-Identifier: BSD-2-Clause
#include "cores/apic_query.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// These machines have no real-time runtime, so the node is missing here: the
// query must fail with nothing handed over.
TEST(ApicQuery, MissingDriverNodeGivesNoIdsAndNoBuffer) {
  if (access(kDriverNodePath, F_OK) == 0) {
    GTEST_SKIP() << kDriverNodePath << " exists on this machine";
  }
  ApicIdQuery query{};
  query.capacity = kApicIdCapacity;
  EXPECT_FALSE(query_driver(query));

  std::uint32_t shared_count = 77;
  ApicIdBuffer ids;
  EXPECT_EQ(query_apic_ids(shared_count, ids), 0u);
  EXPECT_EQ(ids, nullptr);
  EXPECT_EQ(shared_count, 77u);
}

}  // namespace
