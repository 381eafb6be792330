#include <gtest/gtest.h>

#include "kesu/richtext/container_helpers.h"

namespace kesu {
namespace {

TEST(RichtextHelpers, ExtendMaxKeepsTheLargerCounterAndSkipsEmptyOnes) {
  VersionVector vv{{1, 7}};
  extend_max(vv, {{1, 5}, {1, 3}, {2, 0}, {3, -4}, {4, 9}, {4, 12}});
  EXPECT_EQ(vv.get(1), 7);
  EXPECT_EQ(vv.entries().count(2), 0u);
  EXPECT_EQ(vv.entries().count(3), 0u);
  EXPECT_EQ(vv.get(4), 12);
  VersionVector low{{1, 2}};
  extend_max(low, {{1, 5}});
  EXPECT_EQ(low.get(1), 5);
}

TEST(RichtextHelpers, EncodeErrorNamesWhereItWasRaised) {
  auto e =
      encode_error_with_location("encode_snapshot_at: shallow root frontiers are inconsistent");
  const std::string& t = e.text();
  EXPECT_EQ(t.rfind("encode_snapshot_at: shallow root frontiers are inconsistent at "
                    "richtext_helpers_test.cpp:",
                    0),
            0u)
      << t;
  EXPECT_EQ(e.kind(), KesuEncodeErrorKind::InternalError);
}

}  // namespace
}  // namespace kesu
