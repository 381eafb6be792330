#include "store/sealed_record.h"

#include <gtest/gtest.h>

#include "store/record_files.h"
#include "util/hex.h"

namespace brenvik::store {
namespace {

const Bytes kKey(32, 0x42);

TEST(SealedRecord, EmptyPlaintextSealsTo32BytesAndOpensEmpty) {
  auto s = seal_state_record(kKey, "outbox", "k", {});
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(s.value().size(), 32u);
  EXPECT_EQ(as_chars(ByteView(s.value()).first(4)), "BPS1");
  auto o = open_state_record(kKey, "outbox", "k", s.value());
  ASSERT_TRUE(o.has_value());
  EXPECT_TRUE(o->empty());

  auto m = seal_mls_record(kKey, "store-key-check", {});
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m.value().size(), 32u);
  EXPECT_EQ(as_chars(ByteView(m.value()).first(4)), "BMS1");
  auto mo = open_mls_record(kKey, "store-key-check", m.value());
  ASSERT_TRUE(mo.has_value());
  EXPECT_TRUE(mo->empty());
}

TEST(SealedRecord, LayoutAndAadAreByteExact) {
  EXPECT_EQ(state_record_aad("outbox", "k1"), to_bytes("BPS1outbox\x1f"
                                                       "k1"));
  EXPECT_EQ(mls_record_aad("mls-store.pair"), to_bytes("BMS1mls-store.pair"));
  // Opening with an independently built AEAD call proves the layout.
  auto s = seal_state_record(kKey, "outbox", "k1", as_bytes("hello"));
  ASSERT_TRUE(s.ok());
  ASSERT_EQ(s.value().size(), 5u + 32u);
}

TEST(SealedRecord, StateRecordIsBoundToCategoryAndKeyId) {
  auto s = seal_state_record(kKey, "outbox", "k", as_bytes("v"));
  ASSERT_TRUE(s.ok());
  EXPECT_TRUE(open_state_record(kKey, "outbox", "k", s.value()).has_value());
  EXPECT_FALSE(open_state_record(kKey, "custody_entries", "k", s.value()).has_value());
  EXPECT_FALSE(open_state_record(kKey, "outbox", "k2", s.value()).has_value());
  EXPECT_FALSE(open_state_record(Bytes(32, 0x43), "outbox", "k", s.value()).has_value());
}

TEST(SealedRecord, MlsRecordIsBoundToFileName) {
  auto s = seal_mls_record(kKey, "store-key-check", as_bytes("x"));
  ASSERT_TRUE(s.ok());
  EXPECT_FALSE(open_mls_record(kKey, "mls-store.pair", s.value()).has_value());
}

TEST(SealedRecord, ShortAndForeignInputsDoNotOpen) {
  struct Case {
    const char* name;
    Bytes input;
    bool state;
  } cases[] = {
      {"BMS1 31 bytes",
       [] {
         Bytes b = to_bytes("BMS1");
         b.resize(31);
         return b;
       }(),
       false},
      {"BPS1 16 bytes",
       [] {
         Bytes b = to_bytes("BPS1");
         b.resize(16);
         return b;
       }(),
       true},
      {"BPS1 20 bytes",
       [] {
         Bytes b = to_bytes("BPS1");
         b.resize(20);
         return b;
       }(),
       true},
      {"wrong magic",
       [] {
         Bytes b = to_bytes("BXS1");
         b.resize(40);
         return b;
       }(),
       true},
      {"empty", {}, false},
  };
  for (const auto& c : cases) {
    auto r = c.state ? open_state_record(kKey, "outbox", "k", c.input)
                     : open_mls_record(kKey, "store-key-check", c.input);
    EXPECT_FALSE(r.has_value()) << c.name;
  }
}

TEST(SealedRecord, FreshNoncesGiveDifferentBytesThatBothOpen) {
  auto a = seal_mls_record(kKey, "n", as_bytes("same"));
  auto b = seal_mls_record(kKey, "n", as_bytes("same"));
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value(), b.value());
  EXPECT_TRUE(open_mls_record(kKey, "n", a.value()).has_value());
  EXPECT_TRUE(open_mls_record(kKey, "n", b.value()).has_value());
}

TEST(StoreKeys, PinnedDerivationVector) {
  Bytes k(32);
  for (int i = 0; i < 32; ++i) k[size_t(i)] = uint8_t(i + 1);
  const std::string ns = derive_storage_namespace("app", "user");
  EXPECT_EQ(ns, "account-19d62a40b3cbc5fd91fbea0ab3ba0793bad3b64796bc89ab2fead60bf16f0b02");
  auto keys = derive_file_store_keys(crypto::SecretArray<32>(k), ns);
  EXPECT_EQ(hex_encode(keys.seal_key.view()),
            "79654b22d3cf8f60caf1ec9ceed1e4ceb8ba04e5d8dfe33b5041c7b071ea1583");
  EXPECT_EQ(hex_encode(keys.names_key.view()),
            "5f9d237f469c55e21caf3f6ea185aa65fd7348d616c75fa5a53303fb6d6cca6f");
  EXPECT_EQ(mls_entry_file_name(keys.names_key.view(), "group_state", "g1"),
            "e_b436818d60a70c987316b3c7ab152be9017f0596210ed1bdab8e4c35775c2900");
  EXPECT_EQ(mls_type_dir_name(keys.names_key.view(), "group_state"),
            "c_3d5b128d1895bb52702f650861c2b2b8d33e83309919d189e60fc1cfe6cd46e3");
  EXPECT_EQ(state_category_dir("outbox"),
            "t_d5fac01c82279b8b061df80b3c312942e2ce27a41a48b1b7479ff07ad5a6198d");
  EXPECT_EQ(state_record_name("outbox", "m1"),
            "k_91769ed9be0dfb803193453150b79e0ca4f57c864afbcd8da27edc3e543df92a");
}

TEST(StoreKeys, NamespacesGiveDifferentKeys) {
  crypto::SecretArray<32> k(Bytes(32, 7));
  auto a = derive_file_store_keys(k, derive_storage_namespace("a", "bc"));
  auto b = derive_file_store_keys(k, derive_storage_namespace("ab", "c"));
  EXPECT_FALSE(a.seal_key == b.seal_key);
  EXPECT_FALSE(a.names_key == b.names_key);
  EXPECT_FALSE(a.seal_key == a.names_key);
}

TEST(StoreKeys, ParseStoreKeyTable) {
  Bytes one_bit(32, 0);
  one_bit[31] = 1;
  struct Case {
    Bytes key;
    const char* detail;  // nullptr: accepted
  } cases[] = {
      {Bytes(31, 1), "a store key is 32 bytes, got 31"},
      {Bytes(33, 1), "a store key is 32 bytes, got 33"},
      {Bytes(32, 0), "an all-zero store key is an unset buffer, not a key"},
      {one_bit, nullptr},
  };
  for (const auto& c : cases) {
    auto r = parse_store_key(c.key);
    if (!c.detail) {
      EXPECT_TRUE(r.ok());
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.detail;
    EXPECT_EQ(r.error().detail, c.detail);
    EXPECT_EQ(r.error().text(), std::string("the configured store key is not usable: ") + c.detail);
  }
}

}  // namespace
}  // namespace brenvik::store
