#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "rfc9420/secret_tree.h"
#include "test_support.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using nlohmann::json;

Bytes hex(const json& j) {
  return *hex_decode(j.get<std::string>());
}
std::string hexs(ByteView b) {
  return hex_encode(b);
}

TEST(SecretTree, PublicVectors) {
  std::string text;
  if (!brenvik::testing::read_file(brenvik::testing::vectors_dir() / "mls" / "secret-tree.json",
                                   text))
    GTEST_SKIP() << "secret-tree.json not found";
  size_t checked = 0;
  for (const auto& c : json::parse(text)) {
    if (c["cipher_suite"].get<int>() != 1) continue;
    const auto& sd = c["sender_data"];
    auto kn = sender_data_key_nonce(hex(sd["sender_data_secret"]), hex(sd["ciphertext"]));
    ASSERT_TRUE(kn.ok());
    EXPECT_EQ(hexs(kn->key.view()), sd["key"].get<std::string>());
    EXPECT_EQ(hexs(kn->nonce.view()), sd["nonce"].get<std::string>());

    uint32_t n = uint32_t(c["leaves"].size());
    SecretTree tree(hex(c["encryption_secret"]), n);
    for (uint32_t leaf = 0; leaf < n; ++leaf) {
      for (const auto& g : c["leaves"][leaf]) {
        uint32_t gen = g["generation"].get<uint32_t>();
        for (auto [kind, k, nn] :
             {std::tuple{RatchetKind::handshake, "handshake_key", "handshake_nonce"},
              std::tuple{RatchetKind::application, "application_key", "application_nonce"}}) {
          auto step = tree.prepare(leaf, kind, gen);
          ASSERT_TRUE(step.ok()) << step.error().message();
          EXPECT_EQ(hexs(step->key().key.view()), g[k].get<std::string>()) << leaf << "/" << gen;
          EXPECT_EQ(hexs(step->key().nonce.view()), g[nn].get<std::string>());
          tree.commit(std::move(*step));
          ++checked;
        }
      }
    }
  }
  EXPECT_GT(checked, 0u);
}

// Delivery orders against one receiving ratchet (tolerance 32, forward 1000).
TEST(SecretTree, GenerationWindow) {
  struct Case {
    const char* what;
    std::vector<uint32_t> delivered;  // all succeed
    uint32_t then;
    std::optional<ErrorCode> error;
  };
  const Case cases[] = {
      {"in order", {0, 1, 2}, 3, std::nullopt},
      {"replay of the newest", {0, 1, 2}, 2, ErrorCode::SecretReused},
      {"replay of an old one", {0, 1, 2}, 0, ErrorCode::SecretReused},
      {"late within the window", {40}, 8, std::nullopt},
      {"late at the window's edge", {40}, 9, std::nullopt},
      {"late beyond the window", {40}, 7, ErrorCode::GenerationTooOld},
      {"late, then its replay", {40, 20}, 20, ErrorCode::SecretReused},
      {"jump of exactly 1000", {}, 1000, std::nullopt},
      {"jump of 1001", {}, 1001, ErrorCode::GenerationTooFar},
      {"jump of 1001 after progress", {5}, 1007, ErrorCode::GenerationTooFar},
      {"window slides with later messages", {10, 50}, 15, ErrorCode::GenerationTooOld},
      {"window keeps the newest skipped", {10, 50}, 25, std::nullopt},
  };
  Bytes secret(32, 0x42);
  for (const auto& c : cases) {
    SecretTree tree(secret, 4);
    for (uint32_t g : c.delivered) {
      auto s = tree.prepare(2, RatchetKind::application, g);
      ASSERT_TRUE(s.ok()) << c.what << " at " << g << ": " << s.error().message();
      tree.commit(std::move(*s));
    }
    auto s = tree.prepare(2, RatchetKind::application, c.then);
    if (c.error) {
      ASSERT_FALSE(s.ok()) << c.what;
      EXPECT_EQ(s.error().code(), *c.error) << c.what << ": " << s.error().message();
    } else {
      ASSERT_TRUE(s.ok()) << c.what << ": " << s.error().message();
      EXPECT_EQ(s->key().generation, c.then);
    }
  }
}

// Keys out of order equal the keys in order; an uncommitted prepare changes
// nothing; each ratchet and each leaf has its own keys.
TEST(SecretTree, OrderIndependenceAndIsolation) {
  Bytes secret(32, 7);
  SecretTree in_order(secret, 8), shuffled(secret, 8);
  std::vector<std::string> keys;
  for (uint32_t g = 0; g < 10; ++g) {
    auto s = in_order.prepare_next(5, RatchetKind::handshake);
    ASSERT_TRUE(s.ok());
    keys.push_back(hexs(s->key().key.view()));
    in_order.commit(std::move(*s));
  }
  for (uint32_t g : {9u, 3u, 0u, 8u, 1u, 2u, 7u, 4u, 6u, 5u}) {
    auto s = shuffled.prepare(5, RatchetKind::handshake, g);
    ASSERT_TRUE(s.ok()) << g;
    EXPECT_EQ(hexs(s->key().key.view()), keys[g]) << g;
    auto again = shuffled.prepare(5, RatchetKind::handshake, g);  // not yet consumed
    ASSERT_TRUE(again.ok());
    shuffled.commit(std::move(*s));
  }
  auto other_kind = shuffled.prepare(5, RatchetKind::application, 0);
  auto other_leaf = shuffled.prepare(4, RatchetKind::handshake, 0);
  ASSERT_TRUE(other_kind.ok() && other_leaf.ok());
  EXPECT_NE(hexs(other_kind->key().key.view()), keys[0]);
  EXPECT_NE(hexs(other_leaf->key().key.view()), keys[0]);
  EXPECT_EQ(shuffled.prepare(8, RatchetKind::handshake, 0).error().code(),
            ErrorCode::InvalidSender);
}

}  // namespace
}  // namespace brenvik::rfc9420
