// Log text forms of the small shared enumerations: every variant in order,
// so a reordered or misspelt name is caught.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/common/log_names.h"

namespace brenvik {
namespace {

template <typename E>
std::vector<std::string> names(size_t count) {
  std::vector<std::string> out;
  for (size_t i = 0; i < count; ++i) out.emplace_back(log_name(static_cast<E>(i)));
  return out;
}

TEST(LogNames, EveryVariantInOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(names<CommitType>(3), (V{"Add", "Remove", "KeyUpdate"}));
  EXPECT_EQ(names<LeafRefusalKind>(3), (V{"WelcomeDeclined", "CommitRefused", "RosterEntry"}));
  EXPECT_EQ(names<OverflowPolicy>(2), (V{"DropOldest", "DropNewest"}));
  EXPECT_EQ(names<DecryptFailureKind>(6),
            (V{"SessionNotFound", "NotInitialized", "InvalidCiphertext", "IdentityMismatch",
               "CryptoFailure", "Unknown"}));
  EXPECT_EQ(names<RelayRefusal>(5), (V{"AlreadySeen", "NarrowedByDuplicate", "HopLimitReached",
                                       "PeerRateLimited", "QueueFull"}));
  EXPECT_EQ(names<DataRecordOutcome>(4), (V{"Deleted", "Kept", "Recorded", "Unchanged"}));
  EXPECT_EQ(names<CustodyReceiptFailure>(3), (V{"Malformed", "UnknownVersion", "EmptyId"}));
}

TEST(LogNames, UploadOutcomeWithFields) {
  struct Case {
    UploadOutcome v;
    const char* text;
  };
  const Case cases[] = {
      {{UploadOutcome::Ok{12}}, "Ok { accepted: Some(12) }"},
      {{UploadOutcome::Ok{}}, "Ok { accepted: None }"},
      {{UploadOutcome::Retry{-5}}, "Retry { after_ms: Some(-5) }"},
      {{UploadOutcome::Retry{}}, "Retry { after_ms: None }"},
      {{UploadOutcome::Drop{}}, "Drop"},
      {{UploadOutcome::AuthHalt{}}, "AuthHalt"},
      {{UploadOutcome::Disabled{}}, "Disabled"},
  };
  for (const auto& c : cases) EXPECT_EQ(log_text(c.v), c.text);
}

}  // namespace
}  // namespace brenvik
