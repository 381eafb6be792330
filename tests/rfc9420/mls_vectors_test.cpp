// Public MLS working-group test vectors for the codec and the tree math.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/mls_message.h"
#include "rfc9420/tree_math.h"
#include "rfc9420/tree_nodes.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

// Loads ../shared/vectors/mls/<name>; false (and the test skips) when absent.
bool load_vectors(const char* name, json& out) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / name, text))
    return false;
  out = json::parse(text);
  return true;
}

Bytes hex(const json& j) {
  auto r = hex_decode(j.get<std::string>());
  if (!r.ok()) throw std::runtime_error("bad hex in vector");
  return *r;
}

TEST(MlsVectors, DeserializationVarintHeaders) {
  json v;
  if (!load_vectors("deserialization.json", v)) GTEST_SKIP() << "deserialization.json not found";
  ASSERT_FALSE(v.empty());
  for (const auto& c : v) {
    Bytes header = hex(c["vlbytes_header"]);
    uint64_t length = c["length"].get<uint64_t>();
    TlsReader r(header);
    EXPECT_EQ(r.varint(), length) << c.dump();
    EXPECT_TRUE(r.ok()) << c.dump();
    EXPECT_EQ(r.remaining(), 0u) << c.dump();
    Bytes enc;
    tls_put_varint(enc, length);
    EXPECT_EQ(enc, header) << c.dump();
  }
}

// Every structure of every case decodes and re-encodes to the same bytes.
template <typename T>
void expect_round_trip(const json& c, const char* key, size_t index) {
  Bytes in = hex(c[key]);
  auto d = tls_decode<T>(in);
  ASSERT_TRUE(d.ok()) << key << " #" << index << ": " << tls_error_message(d.error());
  EXPECT_EQ(tls_encode(*d), in) << key << " #" << index;
}

TEST(MlsVectors, MessagesRoundTrip) {
  json v;
  if (!load_vectors("messages.json", v)) GTEST_SKIP() << "messages.json not found";
  ASSERT_FALSE(v.empty());
  size_t i = 0;
  for (const auto& c : v) {
    expect_round_trip<MlsMessage>(c, "mls_welcome", i);
    expect_round_trip<MlsMessage>(c, "mls_group_info", i);
    expect_round_trip<MlsMessage>(c, "mls_key_package", i);
    expect_round_trip<RatchetTree>(c, "ratchet_tree", i);
    expect_round_trip<GroupSecrets>(c, "group_secrets", i);
    expect_round_trip<Add>(c, "add_proposal", i);
    expect_round_trip<Update>(c, "update_proposal", i);
    expect_round_trip<Remove>(c, "remove_proposal", i);
    expect_round_trip<PreSharedKey>(c, "pre_shared_key_proposal", i);
    expect_round_trip<ReInit>(c, "re_init_proposal", i);
    expect_round_trip<ExternalInit>(c, "external_init_proposal", i);
    expect_round_trip<GroupContextExtensions>(c, "group_context_extensions_proposal", i);
    expect_round_trip<Commit>(c, "commit", i);
    expect_round_trip<MlsMessage>(c, "public_message_application", i);
    expect_round_trip<MlsMessage>(c, "public_message_proposal", i);
    expect_round_trip<MlsMessage>(c, "public_message_commit", i);
    expect_round_trip<MlsMessage>(c, "private_message", i);
    ++i;
  }
}

}  // namespace
}  // namespace brenvik::rfc9420
