#include <gtest/gtest.h>

#include "rfc9420/mls_message.h"
#include "rfc9420/tree_nodes.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

Bytes h(std::string_view s) {
  return *hex_decode(s);
}

template <typename T>
Result<bool, TlsError> try_decode(ByteView in) {
  auto r = tls_decode<T>(in);
  if (!r.ok()) return Err(r.error());
  return true;
}

TEST(TlsVarint, DecodesAndRefuses) {
  struct Case {
    const char* in;
    std::optional<uint64_t> value;
    TlsError error;
  };
  const Case cases[] = {
      {"25", 37, {}},
      {"7bbd", 15293, {}},
      {"9d7f3e7d", 494878333, {}},
      {"4040", 64, {}},
      {"4025", std::nullopt, TlsError::NonMinimalVarint},
      {"40003fff", std::nullopt, TlsError::NonMinimalVarint},  // 0 in two bytes
      {"80003fff", std::nullopt, TlsError::NonMinimalVarint},
      {"c0000000", std::nullopt, TlsError::InvalidVarint},
      {"ff", std::nullopt, TlsError::InvalidVarint},
      {"40", std::nullopt, TlsError::Truncated},
      {"800040", std::nullopt, TlsError::Truncated},
      {"", std::nullopt, TlsError::Truncated},
  };
  for (const auto& c : cases) {
    Bytes in = h(c.in);
    TlsReader r(in);
    uint64_t v = r.varint();
    if (c.value) {
      EXPECT_TRUE(r.ok()) << c.in;
      EXPECT_EQ(v, *c.value) << c.in;
    } else {
      EXPECT_FALSE(r.ok()) << c.in;
      EXPECT_EQ(r.error(), c.error) << c.in;
    }
  }
}

TEST(TlsVarint, EncodesMinimallyAndRefusesOversize) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "00"},       {63, "3f"},          {64, "4040"},
      {16383, "7fff"}, {16384, "80004000"}, {kTlsMaxVarint, "bfffffff"},
  };
  for (auto [v, want] : cases) {
    Bytes out;
    tls_put_varint(out, v);
    EXPECT_EQ(hex_encode(out), want);
  }
  Bytes out;
  EXPECT_THROW(tls_put_varint(out, kTlsMaxVarint + 1), std::logic_error);
}

// Vector headers are written around already-encoded elements; check the
// three header sizes and nested vectors.
TEST(TlsCodec, VectorHeaderSizes) {
  for (size_t n : {0u, 1u, 63u, 64u, 16383u, 16384u, 70000u}) {
    Bytes v(n, 0xab);
    Bytes enc = tls_encode(v);
    size_t hdr = n < 64 ? 1 : n < 16384 ? 2 : 4;
    ASSERT_EQ(enc.size(), n + hdr) << n;
    auto back = tls_decode<Bytes>(enc);
    ASSERT_TRUE(back.ok()) << n;
    EXPECT_EQ(*back, v);
  }
  std::vector<std::vector<uint16_t>> nested{{1, 2}, {}, std::vector<uint16_t>(40, 7)};
  Bytes enc = tls_encode(nested);
  EXPECT_EQ(enc[0], 0x40);  // 1+4 + 1 + 2+80 = 88 bytes of body: two-byte header
  EXPECT_EQ(enc[1], 88);
  auto back = tls_decode<std::vector<std::vector<uint16_t>>>(enc);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, nested);
}

// Malformed encodings of real structures, each refused with its own error.
TEST(TlsCodec, RefusesMalformedStructures) {
  struct Case {
    const char* what;
    Result<bool, TlsError> (*decode)(ByteView);
    const char* in;
    TlsError error;
  };
  auto* mls = &try_decode<MlsMessage>;
  auto* proposal = &try_decode<Proposal>;
  auto* cred = &try_decode<Credential>;
  auto* group_secrets = &try_decode<GroupSecrets>;
  auto* u32s = &try_decode<std::vector<uint32_t>>;
  auto* empties = &try_decode<std::vector<std::array<uint8_t, 0>>>;
  auto* tree = &try_decode<RatchetTree>;
  const Case cases[] = {
      {"version 2", mls, "00020005", TlsError::InvalidConstant},
      {"version 0", mls, "00000003", TlsError::InvalidConstant},
      {"wire format 6", mls, "00010006", TlsError::UnknownSelector},
      {"wire format 0", mls, "00010000", TlsError::UnknownSelector},
      {"empty message", mls, "", TlsError::Truncated},
      {"proposal type 8", proposal, "000800", TlsError::UnknownSelector},
      {"proposal type 0", proposal, "0000", TlsError::UnknownSelector},
      {"remove with trailing byte", proposal, "00030000000100", TlsError::TrailingBytes},
      {"remove truncated", proposal, "0003000001", TlsError::Truncated},
      {"credential type 3", cred, "000300", TlsError::UnknownSelector},
      {"identity overruns input", cred, "000105616263", TlsError::VectorOverrun},
      {"optional presence 2", group_secrets, "012002", TlsError::InvalidOptional},
      {"element crosses vector end", u32s, "03000000010203", TlsError::Truncated},
      {"vector longer than input", u32s, "0800000001", TlsError::VectorOverrun},
      {"zero-size elements", empties, "0100", TlsError::EmptyElement},
      {"node type 3", tree, "020103", TlsError::UnknownSelector},
      {"non-minimal length", u32s, "400400000001", TlsError::NonMinimalVarint},
  };
  for (const auto& c : cases) {
    Bytes in = h(c.in);
    auto r = c.decode(in);
    ASSERT_FALSE(r.ok()) << c.what;
    EXPECT_EQ(r.error(), c.error) << c.what << ": " << tls_error_message(r.error());
  }
}

FramedContent framed(Sender s, Content c) {
  FramedContent f;
  f.group_id = to_bytes("group");
  f.epoch = 7;
  f.sender = s;
  f.authenticated_data = to_bytes("ad");
  f.content = std::move(c);
  return f;
}

// The membership tag follows member senders only and the confirmation tag
// commits only; neither has a presence octet on the wire.
TEST(TlsCodec, PublicMessageConditionalFields) {
  struct Case {
    const char* what;
    Sender sender;
    Content content;
    bool confirmation, membership;
  };
  const Case cases[] = {
      {"member application", Sender::member(3), ApplicationContent{to_bytes("hi")}, false, true},
      {"member commit", Sender::member(0), CommitContent{}, true, true},
      {"new member commit", Sender{NewMemberCommitSender{}}, CommitContent{}, true, false},
      {"external proposal", Sender{ExternalSenderIndex{1}}, ProposalContent{Proposal{Remove{2}}},
       false, false},
  };
  for (const auto& c : cases) {
    PublicMessage m;
    m.content = framed(c.sender, c.content);
    m.auth.signature = Bytes(64, 0x11);
    if (c.confirmation) m.auth.confirmation_tag = Bytes(32, 0x22);
    if (c.membership) m.membership_tag = Bytes(32, 0x33);
    Bytes enc = tls_encode(m);
    // 64-byte signature: two-byte header; 32-byte tags: one-byte header.
    size_t expected_tail = 66 + (c.confirmation ? 33 : 0) + (c.membership ? 33 : 0);
    Bytes content_only = tls_encode(m.content);
    EXPECT_EQ(enc.size(), content_only.size() + expected_tail) << c.what;
    auto back = tls_decode<PublicMessage>(enc);
    ASSERT_TRUE(back.ok()) << c.what;
    EXPECT_EQ(*back, m) << c.what;

    // A tag set against its condition is a caller bug, not a wire value.
    PublicMessage wrong = m;
    if (c.membership)
      wrong.membership_tag.reset();
    else
      wrong.membership_tag = Bytes(32, 0);
    EXPECT_THROW(tls_encode(wrong), std::logic_error) << c.what;
  }
}

TEST(TlsCodec, SignedStructuresToBeSigned) {
  KeyPackage kp;
  kp.cipher_suite = 1;
  kp.init_key = Bytes(32, 1);
  kp.leaf_node.encryption_key = Bytes(32, 2);
  kp.leaf_node.signature_key = Bytes(32, 3);
  kp.leaf_node.credential = Credential::basic(to_bytes("alice"));
  kp.leaf_node.source = Lifetime{10, 20};
  kp.leaf_node.signature = Bytes(64, 4);
  kp.signature = Bytes(64, 5);
  // The TBS is the encoding without the trailing signature vector.
  Bytes full = tls_encode(kp);
  Bytes tbs = key_package_tbs(kp);
  Bytes sig = tls_encode(kp.signature);
  ASSERT_EQ(tbs.size() + sig.size(), full.size());
  EXPECT_TRUE(std::equal(tbs.begin(), tbs.end(), full.begin()));

  // A key-package leaf is signed without group context; update and commit
  // leaves append the group id and leaf index.
  Bytes leaf_tbs = leaf_node_tbs(kp.leaf_node, std::nullopt);
  EXPECT_EQ(leaf_tbs.size() + 66, tls_encode(kp.leaf_node).size());
  LeafNode commit_leaf = kp.leaf_node;
  commit_leaf.source = CommitSource{Bytes(32, 9)};
  Bytes gid = to_bytes("gid");
  Bytes with_group = leaf_node_tbs(commit_leaf, LeafNodeGroupContext{gid, 0x01020304});
  EXPECT_EQ(hex_encode(ByteView(with_group).last(8)), "0367696401020304");
  EXPECT_THROW(leaf_node_tbs(commit_leaf, std::nullopt), std::logic_error);
}

TEST(TlsCodec, PeekEpoch) {
  PrivateMessage pm;
  pm.group_id = Bytes(100, 7);
  pm.epoch = 0x0102030405060708;
  MlsMessage m{ProtocolVersion::mls10, tls::Case<WireFormat::private_message, PrivateMessage>{pm}};
  Bytes enc = encode_mls_message(m);
  EXPECT_EQ(peek_message_epoch(enc), pm.epoch);

  MlsMessage pub{ProtocolVersion::mls10,
                 tls::Case<WireFormat::public_message, PublicMessage>{PublicMessage{
                     framed(Sender::member(1), ApplicationContent{}), {}, Bytes(32, 0)}}};
  EXPECT_EQ(peek_message_epoch(encode_mls_message(pub)), 7u);

  MlsMessage welcome{ProtocolVersion::mls10, tls::Case<WireFormat::welcome, Welcome>{}};
  EXPECT_EQ(peek_message_epoch(encode_mls_message(welcome)), std::nullopt);
  EXPECT_EQ(peek_message_epoch(ByteView(enc).first(enc.size() - 3)), pm.epoch);
  EXPECT_EQ(peek_message_epoch(ByteView(enc).first(100)), std::nullopt);
}

}  // namespace
}  // namespace brenvik::rfc9420
