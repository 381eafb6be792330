#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "protocol/helpers/scrub_hash.h"

namespace brenvik {
namespace {

ScrubKey counting_key() {
  ScrubKey k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
  return k;
}

// Expected texts computed outside this library (Python's hashlib:
// sha256(key + identifier).hexdigest()[:32]).
struct Vector {
  ScrubKey key;
  std::string identifier;
  std::string expected;
};

TEST(ScrubHashTest, MatchesIndependentComputation) {
  ScrubKey ff;
  ff.fill(0xFF);
  const Vector vectors[] = {
      {counting_key(), "", "be45cb2605bf36bebde684841a28f0fd"},
      {counting_key(), "alice", "4bae77313a70b8732fd7144d646a5cf8"},
      {counting_key(), "npub1xyz", "f8a1f554ed38d109cbeb9d2c01a1862f"},
      {counting_key(), "Zo\xC3\xAB", "f44e7e93ce7a1c83bc6436e59e47dd57"},
      {ff, "alice", "41b0dd560d666433b208666dd05126c9"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(keyed_scrub_hash(v.key, std::string_view(v.identifier)), v.expected) << v.identifier;
  }
}

TEST(ScrubHashTest, OneBitOfKeyOrOneByteOfIdentifierChangesTheText) {
  const ScrubKey key = counting_key();
  const std::string base = keyed_scrub_hash(key, std::string_view("peer-1"));
  for (size_t byte = 0; byte < key.size(); ++byte) {
    ScrubKey flipped = key;
    flipped[byte] ^= 0x01;
    EXPECT_NE(keyed_scrub_hash(flipped, std::string_view("peer-1")), base) << byte;
  }
  EXPECT_NE(keyed_scrub_hash(key, std::string_view("peer-2")), base);
  EXPECT_NE(keyed_scrub_hash(key, std::string_view("Peer-1")), base);
  EXPECT_EQ(keyed_scrub_hash(key, std::string_view("peer-1")), base);
}

TEST(ScrubHashTest, AlwaysThirtyTwoLowercaseHexCharacters) {
  const ScrubKey key = counting_key();
  for (std::string id :
       {std::string(), std::string(1, '\0'), std::string(300, 'x'), std::string("\xFF\xFE")}) {
    const std::string text = keyed_scrub_hash(key, std::string_view(id));
    ASSERT_EQ(text.size(), kScrubTextSize);
    EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) {
      return std::isdigit(c) || (c >= 'a' && c <= 'f');
    })) << text;
  }
}

TEST(ScrubHashTest, RedactIdentifierOnlyWithAKey) {
  const ScrubKey key = counting_key();
  std::string with_key = "alice";
  redact_identifier(with_key, key);
  EXPECT_EQ(with_key, "4bae77313a70b8732fd7144d646a5cf8");

  std::string empty;
  redact_identifier(empty, key);
  EXPECT_EQ(empty, "be45cb2605bf36bebde684841a28f0fd");

  std::string without_key = "alice";
  redact_identifier(without_key, std::nullopt);
  EXPECT_EQ(without_key, "alice");
}

}  // namespace
}  // namespace brenvik
