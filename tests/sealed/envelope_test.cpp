#include <gtest/gtest.h>

#include <random>

#include "sealed/encrypted_message.h"
#include "sealed/group_id.h"

namespace brenvik {
namespace {

Bytes header(uint32_t g, std::string_view group, uint32_t s, std::string_view sender) {
  Bytes b(8 + group.size() + sender.size());
  size_t p = 0;
  for (int i = 0; i < 4; ++i) b[p++] = uint8_t(g >> (8 * i));
  for (char c : group) b[p++] = uint8_t(c);
  for (int i = 0; i < 4; ++i) b[p++] = uint8_t(s >> (8 * i));
  for (char c : sender) b[p++] = uint8_t(c);
  return b;
}

Bytes tail(uint8_t type, uint64_t epoch, uint64_t ts, uint32_t c) {
  Bytes b;
  b.push_back(type);
  put_u64_le(b, epoch);
  put_u64_le(b, ts);
  put_u32_le(b, c);
  return b;
}

std::string decode_error(const Bytes& b) {
  auto r = decode_sealed_envelope(b);
  return r.ok() ? "ok" : r.error().message();
}

EncryptedMessage sample(std::string group, std::string sender, Bytes ct) {
  return EncryptedMessage{GroupId::create(std::move(group)).value(),
                          MlsMessageType::Commit,
                          7,
                          std::move(ct),
                          std::move(sender),
                          1700000000000};
}

TEST(SealedEnvelope, LayoutIsLittleEndianAndExact) {
  auto m = sample("g", "s", {0xAA, 0xBB});
  auto b = encode_sealed_envelope(m);
  ASSERT_TRUE(b.ok());
  Bytes want = header(1, "g", 1, "s");
  append(want, tail(2, 7, 1700000000000, 2));
  want.push_back(0xAA);
  want.push_back(0xBB);
  EXPECT_EQ(*b, want);
  EXPECT_EQ(b->size(), 1 + 1 + 2 + 29u);
}

TEST(SealedEnvelope, DecodeFaultsInOrder) {
  Bytes ok_head = header(1, "g", 1, "s");
  auto with = [](Bytes a, const Bytes& b) {
    append(a, b);
    return a;
  };
  Bytes g4097;
  put_u32_le(g4097, 4097);
  Bytes s4097;
  put_u32_le(s4097, 1);
  s4097.push_back('g');
  put_u32_le(s4097, 4097);
  Bytes big_c = with(ok_head, tail(0, 1, 2, 134217729));

  const std::pair<Bytes, std::string> cases[] = {
      {{}, "Deserialization failed: unexpected end of data reading u32"},
      {{1, 0, 0}, "Deserialization failed: unexpected end of data reading u32"},
      {g4097, "Deserialization failed: group_id_len 4097 exceeds maximum 4096"},
      {{2, 0, 0, 0, 'a'}, "Deserialization failed: unexpected end of data reading bytes"},
      {header(1, "\xff", 0, ""),
       "Deserialization failed: invalid group_id UTF-8: invalid utf-8 sequence of 1 bytes from "
       "index 0"},
      {with(header(1, "g", 0, ""), {}),
       "Deserialization failed: unexpected end of data reading message_type"},
      {s4097, "Deserialization failed: sender_len 4097 exceeds maximum 4096"},
      {header(1, "g", 2, "a\xc3"),
       "Deserialization failed: invalid sender_id UTF-8: incomplete utf-8 byte sequence from "
       "index 1"},
      {with(ok_head, {4}), "Deserialization failed: unknown message_type tag 4"},
      {with(ok_head, {0, 1, 2, 3}), "Deserialization failed: unexpected end of data reading u64"},
      {with(ok_head, tail(0, 1, 2, 0)), "ok"},
      {with(ok_head, tail(0, 1, 2, 3)),
       "Deserialization failed: unexpected end of data reading bytes"},
      {big_c, "Deserialization failed: ciphertext_len 134217729 exceeds maximum 134217728"},
      // Everything reads, then the group id fails its own rules.
      {with(header(0, "", 0, ""), tail(3, 1, 2, 0)), "Invalid group id: Group ID cannot be empty"},
      {with(header(3, "a::", 0, ""), tail(3, 1, 2, 0)),
       "Invalid group id: Group ID segment cannot be empty"},
  };
  for (const auto& [bytes, want] : cases) EXPECT_EQ(decode_error(bytes), want);
}

TEST(SealedEnvelope, GroupIdOf4096BytesAcceptedAndTrailingBytesIgnored) {
  auto m = sample(std::string(4096, 'g'), std::string(4096, 's'), Bytes(100, 1));
  auto b = encode_sealed_envelope(m);
  ASSERT_TRUE(b.ok());
  auto d = decode_sealed_envelope(*b);
  ASSERT_TRUE(d.ok()) << d.error().message();
  EXPECT_EQ(*d, m);
  b->push_back(0x55);
  b->push_back(0x66);
  auto d2 = decode_sealed_envelope(*b);
  ASSERT_TRUE(d2.ok());
  EXPECT_EQ(*d2, m);
}

TEST(SealedEnvelope, LargestCiphertextAcceptedOneMoreRefusedOnBothSides) {
  auto m = sample("grp", "snd", Bytes(kMaxEnvelopeCiphertextLength, 0x5A));
  auto b = encode_sealed_envelope(m);
  ASSERT_TRUE(b.ok());
  auto d = decode_sealed_envelope(*b);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->ciphertext.size(), kMaxEnvelopeCiphertextLength);

  m.ciphertext.push_back(0);
  auto too_big = encode_sealed_envelope(m);
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().message(),
            "Serialization failed: ciphertext_len 134217729 exceeds maximum 134217728");
  auto long_sender = encode_sealed_envelope(sample("g", std::string(4097, 's'), {}));
  ASSERT_FALSE(long_sender.ok());
  EXPECT_EQ(long_sender.error().message(),
            "Serialization failed: sender_len 4097 exceeds maximum 4096");
}

TEST(SealedEnvelope, RandomRecordsRoundTrip) {
  std::mt19937_64 rng(42);
  for (int i = 0; i < 300; ++i) {
    std::string group = std::to_string(rng() % 100000);
    group.insert(0, 1, 'g');
    group.append(":x");
    std::string sender(rng() % 64, 'a' + char(rng() % 26));
    Bytes ct(rng() % 512);
    for (auto& c : ct) c = uint8_t(rng());
    EncryptedMessage m{
        GroupId::create(group).value(), MlsMessageType(rng() % 4), rng(), ct, sender, rng()};
    auto b = encode_sealed_envelope(m);
    ASSERT_TRUE(b.ok());
    EXPECT_EQ(b->size(), group.size() + sender.size() + ct.size() + 29);
    auto d = decode_sealed_envelope(*b);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(*d, m);
  }
}

TEST(GroupId, Rules) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc", "ok"},
      {"session:a:b", "ok"},
      {std::string(4096, 'x'), "ok"},
      {std::string(4097, 'x'), "Invalid group id: Group ID length 4097 exceeds maximum 4096"},
      {"", "Invalid group id: Group ID cannot be empty"},
      {"a::b", "Invalid group id: Group ID segment cannot be empty"},
      {":a", "Invalid group id: Group ID segment cannot be empty"},
      {"a:", "Invalid group id: Group ID segment cannot be empty"},
      {"a:..:b", "Invalid group id: Group ID segment cannot be '.' or '..' (path traversal)"},
      {"a/b", "Invalid group id: Group ID segment contains invalid characters ('/', '\\', or ':')"},
      {"a:\x01", "Invalid group id: Group ID segment contains ASCII control characters"},
  };
  for (const auto& [text, want] : cases) {
    auto r = GroupId::create(text);
    EXPECT_EQ(r.ok() ? "ok" : r.error().message(), want) << text.substr(0, 20);
    if (r.ok()) {
      EXPECT_EQ(r->str(), text);
    }
  }
}

}  // namespace
}  // namespace brenvik
