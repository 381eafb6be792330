#include "rfc9420/group_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "crypto/ed25519.h"
#include "crypto/sha256.h"
#include "rfc9420/conformance_report.h"
#include "rfc9420/message_protection.h"
#include "util/hex.h"

namespace brenvik::rfc9420 {
namespace {

using crypto::SecretBytes;
using Kind = StorageAdapterError::Kind;

Bytes filled(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + 7 * i);
  return b;
}
SecretBytes secret(size_t n, uint8_t seed) {
  return SecretBytes(filled(n, seed));
}
Bytes text_bytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}
std::string text_of(const Bytes& b) {
  return std::string(b.begin(), b.end());
}

LeafNode make_leaf(uint32_t i) {
  LeafNode l;
  l.encryption_key = filled(32, uint8_t(i));
  l.signature_key = filled(32, uint8_t(i + 100));
  l.credential = Credential::basic(text_bytes("member-" + std::to_string(i)));
  l.capabilities.versions = {ProtocolVersion::mls10};
  l.capabilities.cipher_suites = {kCipherSuiteX25519Aes128Sha256Ed25519};
  l.source = Lifetime{1000, 2000 + i};
  l.signature = filled(64, uint8_t(i + 50));
  return l;
}

const Bytes kGroupId = text_bytes("group:1f0c4b7e");

KeyPackageRecord make_key_package_record() {
  KeyPackageRecord kp;
  kp.key_package.cipher_suite = kCipherSuiteX25519Aes128Sha256Ed25519;
  kp.key_package.init_key = filled(32, 1);
  kp.key_package.leaf_node = make_leaf(0);
  kp.key_package.signature = filled(64, 2);
  kp.private_init_key = secret(32, 3);
  kp.private_encryption_key = secret(32, 4);
  return kp;
}

// A group of n members at epoch 5 with parent nodes (one with an unmerged
// leaf), a secret tree whose ratchets have been used, and a PSK ring.
PersistedGroup make_group(uint32_t n, uint32_t own_leaf = 0, Bytes group_id = kGroupId) {
  PublicTree tree;
  for (uint32_t i = 0; i < n; ++i) tree.add_leaf(make_leaf(i));
  for (uint64_t x = 1; x + 1 < tree.node_count(); x += 4) {
    ParentNode p{filled(32, uint8_t(x)), filled(32, uint8_t(x + 1)), {}};
    if (x == 1 && n > 1) p.unmerged_leaves = {1};
    tree.set_node(x, Node{tls::Case<NodeType::parent, ParentNode>{p}});
  }
  PersistedGroup g;
  g.group_context.cipher_suite = kCipherSuiteX25519Aes128Sha256Ed25519;
  g.group_context.group_id = group_id;
  g.group_context.epoch = 5;
  g.group_context.tree_hash = tree.tree_hash();
  g.group_context.confirmed_transcript_hash = filled(32, 0xC1);
  g.group_context.extensions = {Extension{extension_type::required_capabilities, {0, 1, 2}}};
  g.tree = std::move(tree);
  g.confirmation_tag = filled(32, 0x7A);
  g.interim_transcript_hash =
      interim_transcript_hash(g.group_context.confirmed_transcript_hash, g.confirmation_tag);
  SecretBytes EpochSecrets::*all[] = {
      &EpochSecrets::joiner_secret,       &EpochSecrets::welcome_secret,
      &EpochSecrets::epoch_secret,        &EpochSecrets::sender_data_secret,
      &EpochSecrets::encryption_secret,   &EpochSecrets::exporter_secret,
      &EpochSecrets::external_secret,     &EpochSecrets::confirmation_key,
      &EpochSecrets::membership_key,      &EpochSecrets::resumption_psk,
      &EpochSecrets::epoch_authenticator, &EpochSecrets::init_secret};
  uint8_t seed = 1;
  for (auto m : all) g.epoch_secrets.*m = secret(32, seed++);
  g.epoch_secrets.joiner_secret.clear();  // deleted once used
  g.own_leaf_index = own_leaf;
  g.message_secrets.message_secrets.epoch = 5;
  g.message_secrets.message_secrets.sender_data_secret = secret(32, 0x44);
  g.message_secrets.message_secrets.secret_tree =
      SecretTree(filled(32, 0x55), g.tree.leaf_count(), SenderRatchetConfig{4, 100});
  SecretTree& st = g.message_secrets.message_secrets.secret_tree;
  // Leaf 0 receives generation 6 first: generations 2..5 stay as skipped keys.
  auto step = st.prepare(0, RatchetKind::application, 6);
  EXPECT_TRUE(step.ok());
  st.commit(std::move(step).value());
  auto hs = st.prepare_next(0, RatchetKind::handshake);
  st.commit(std::move(hs).value());
  g.resumption_psk_store.max_number_of_secrets = 3;
  g.resumption_psk_store.resumption_psk = {{4, secret(32, 0x31)}, {5, secret(32, 0x32)}};
  g.resumption_psk_store.cursor = 2;
  return g;
}

constexpr std::string_view kStoreOrder[] = {"tree",
                                            "confirmation_tag",
                                            "group_context",
                                            "interim_transcript_hash",
                                            "group_epoch_secrets",
                                            "own_leaf_index",
                                            "message_secrets",
                                            "resumption_psk_store",
                                            "mls_join_config",
                                            "kaltra_group_state"};

// Every value the group store wrote, by label.
std::map<std::string, Bytes> stored_values(const MemoryStorageProvider& s, ByteView group_id) {
  std::map<std::string, Bytes> out;
  for (auto label : kStoreOrder)
    if (auto v = s.peek(label, group_key_digest(group_id))) out[std::string(label)] = *v;
  return out;
}

// A provider that logs its calls.
struct LoggingProvider : MemoryStorageProvider {
  LoggingProvider() { record_calls(true); }
};

std::string lower_hex_sha256(std::string_view text) {
  return hex_encode(crypto::sha256(as_bytes(text)));
}

// ---------------------------------------------------------------------------
// Key digests

TEST(GroupStoreKeys, DigestsHashTheCompactKeyRecords) {
  struct Case {
    std::string name;
    std::string digest;
    std::string record;
  };
  const Bytes gid = text_bytes("g1");
  const Bytes pk{1, 2, 255, 0};
  const Case cases[] = {
      {"group key", group_key_digest(gid), R"({"value":{"vec":[103,49]}})"},
      {"empty group id", group_key_digest({}), R"({"value":{"vec":[]}})"},
      {"package key", package_key_digest(gid), R"({"value":{"vec":[103,49]}})"},
      {"encryption key", encryption_key_digest(pk), R"({"key":{"vec":[1,2,255,0]}})"},
      {"epoch key", epoch_key_digest(gid, 7, 3),
       R"({"group_id":{"value":{"vec":[103,49]}},"epoch":7,"leaf_index":3})"},
      {"epoch key at the integer limits", epoch_key_digest(gid, UINT64_MAX, UINT32_MAX),
       R"({"group_id":{"value":{"vec":[103,49]}},"epoch":18446744073709551615,"leaf_index":4294967295})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.digest, lower_hex_sha256(c.record)) << c.name;
    EXPECT_EQ(c.digest.size(), 64u) << c.name;
    EXPECT_TRUE(std::all_of(c.digest.begin(), c.digest.end(), [](char ch) {
      return isdigit(ch) || (ch >= 'a' && ch <= 'f');
    })) << c.name;
  }
  // Computed once with a separate tool over the literal texts.
  EXPECT_EQ(group_key_digest({}),
            "d21fa3edb99cfcbbed56bac8a826cf7b5ee4835f562e6a030878400c1f2a1ada");
  EXPECT_EQ(group_key_digest(gid),
            "6fc6379eeb260ef75ddf0b5e45b83b31dbf1ac4052e4aea7f076c154d023184f");
  // Epoch and leaf index both take part.
  EXPECT_NE(epoch_key_digest(gid, 7, 3), epoch_key_digest(gid, 7, 4));
  EXPECT_NE(epoch_key_digest(gid, 7, 3), epoch_key_digest(gid, 8, 3));
}

// ---------------------------------------------------------------------------
// Group store

TEST(GroupStore, WritesTheTenLabelsInOrderUnderOneGroupKey) {
  LoggingProvider s;
  ASSERT_TRUE(store_group(s, make_group(3)).ok());
  auto calls = s.calls();
  ASSERT_EQ(calls.size(), std::size(kStoreOrder));
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].op, MemoryStorageProvider::Op::Store);
    EXPECT_EQ(calls[i].type, kStoreOrder[i]);
    EXPECT_EQ(calls[i].key, group_key_digest(kGroupId));
  }
}

TEST(GroupStore, ValuesHaveTheFixedShapes) {
  MemoryStorageProvider s;
  PersistedGroup g = make_group(2, 1);
  ASSERT_TRUE(store_group(s, g).ok());
  auto v = stored_values(s, kGroupId);
  EXPECT_EQ(text_of(v["own_leaf_index"]), "1");
  EXPECT_EQ(text_of(v["kaltra_group_state"]), "\"Operational\"");
  EXPECT_EQ(
      text_of(v["mls_join_config"]),
      R"({"wire_format_policy":{"outgoing":"AlwaysCiphertext","incoming":"AlwaysCiphertext"},)"
      R"("padding_size":0,"max_past_epochs":0,"number_of_resumption_psks":0,)"
      R"("use_ratchet_tree_extension":true,"sender_ratchet_configuration":)"
      R"({"out_of_order_tolerance":32,"maximum_forward_distance":1000}})");
  std::string tag = "[";
  for (size_t i = 0; i < g.confirmation_tag.size(); ++i)
    tag += (i ? "," : "") + std::to_string(g.confirmation_tag[i]);
  EXPECT_EQ(text_of(v["confirmation_tag"]), tag + "]");
  std::string tree = text_of(v["tree"]);
  EXPECT_EQ(tree.rfind(R"({"tree":{"leaf_nodes":[[)", 0), 0u) << tree.substr(0, 40);
  EXPECT_NE(tree.find(R"(],"parent_nodes":[{"encryption_key":[)"), std::string::npos);
  EXPECT_NE(tree.find(R"("default_leaf":null,"default_parent":null},"tree_hash":[)"),
            std::string::npos);
  EXPECT_EQ(text_of(v["message_secrets"])
                .rfind(R"({"max_epochs":0,"past_epoch_trees":[],)"
                       R"("message_secrets":{)",
                       0),
            0u);
  EXPECT_EQ(text_of(v["resumption_psk_store"])
                .rfind(R"({"max_number_of_secrets":3,)"
                       R"("resumption_psk":[{"epoch":4,"secret":[)",
                       0),
            0u);
  for (const auto& [label, bytes] : v) {
    std::string t = text_of(bytes);
    EXPECT_EQ(t.find_first_of(" \n\t"), std::string::npos) << label << " is not compact";
  }
}

// Storing a loaded group writes the same bytes again: nothing is lost or
// altered on the way through storage, for every kind of group state.
TEST(GroupStore, LoadThenStoreIsExact) {
  AuthenticatedContent commit;
  commit.content.group_id = kGroupId;
  commit.content.epoch = 5;
  commit.content.sender = Sender::member(0);
  commit.content.content = CommitContent{};
  commit.auth.signature = filled(64, 9);
  commit.auth.confirmation_tag = filled(32, 10);
  struct Case {
    std::string name;
    uint32_t members;
    GroupState state;
    size_t past_epochs;
  };
  const Case cases[] = {
      {"one member, operational", 1, GroupOperational{}, 0},
      {"five members, inactive", 5, GroupInactive{}, 0},
      {"two members, pending commit with path", 2, PendingCommit{commit, secret(32, 3)}, 0},
      {"three members, pending commit without path, past epochs", 3,
       PendingCommit{commit, SecretBytes()}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStorageProvider s;
    PersistedGroup g = make_group(c.members, c.members - 1);
    g.state = c.state;
    g.message_secrets.max_epochs = 2;
    for (size_t i = 0; i < c.past_epochs; ++i) {
      MessageSecrets past;
      past.epoch = 3 + i;
      past.sender_data_secret = secret(32, uint8_t(i));
      past.secret_tree = SecretTree(filled(32, uint8_t(i + 9)), 2);
      g.message_secrets.past_epoch_trees.push_back(std::move(past));
    }
    g.join_config.wire_format_policy.incoming = IncomingWireFormatPolicy::Mixed;
    g.join_config.padding_size = 16;
    ASSERT_TRUE(store_group(s, g).ok());
    auto first = stored_values(s, kGroupId);

    auto loaded = load_group(s, kGroupId);
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    ASSERT_TRUE(loaded->has_value());
    const PersistedGroup& back = (*loaded)->group;
    EXPECT_EQ(back.tree.to_wire(), g.tree.to_wire());
    EXPECT_EQ(back.group_context, g.group_context);
    EXPECT_EQ(back.state, g.state);
    EXPECT_EQ(back.join_config, g.join_config);
    EXPECT_EQ(back.resumption_psk_store, g.resumption_psk_store);
    EXPECT_EQ(back.own_leaf_index, g.own_leaf_index);
    EXPECT_EQ(back.epoch_secrets.epoch_authenticator, g.epoch_secrets.epoch_authenticator);
    EXPECT_TRUE(back.epoch_secrets.joiner_secret.empty());
    EXPECT_EQ(back.message_secrets.past_epoch_trees.size(), c.past_epochs);

    MemoryStorageProvider again;
    ASSERT_TRUE(store_group(again, back).ok());
    EXPECT_EQ(stored_values(again, kGroupId), first);
  }
}

TEST(GroupStore, AbsentUnlessEveryStoredLabelIsThere) {
  MemoryStorageProvider s;
  auto none = load_group(s, kGroupId);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());

  for (auto label : kStoreOrder) {
    MemoryStorageProvider partial;
    ASSERT_TRUE(store_group(partial, make_group(2)).ok());
    ASSERT_TRUE(partial.delete_(label, group_key_digest(kGroupId)).ok());
    auto r = load_group(partial, kGroupId);
    ASSERT_TRUE(r.ok()) << label << ": " << r.error().message();
    EXPECT_FALSE(r->has_value()) << label;
  }
}

TEST(GroupStore, LoadReadsTheTwelveLabelsAndDefaultsTheReadOnlyOnes) {
  LoggingProvider s;
  ASSERT_TRUE(store_group(s, make_group(2)).ok());
  s.clear_calls();
  auto r = load_group(s, kGroupId);
  ASSERT_TRUE(r.ok() && r->has_value());
  EXPECT_TRUE((*r)->own_leaf_nodes.empty());
  EXPECT_FALSE((*r)->queued_proposals.has_value());
  std::vector<std::string> labels;
  for (const auto& c : s.calls()) {
    EXPECT_EQ(c.op, MemoryStorageProvider::Op::Load);
    EXPECT_EQ(c.key, group_key_digest(kGroupId));
    labels.push_back(c.type);
  }
  EXPECT_EQ(labels,
            (std::vector<std::string>{
                "kaltra_group_state", "tree", "queued_proposals", "group_epoch_secrets",
                "group_context", "own_leaf_index", "message_secrets", "interim_transcript_hash",
                "confirmation_tag", "resumption_psk_store", "mls_join_config", "own_leaf_nodes"}));
}

TEST(GroupStore, FailingFourthStoreLeavesExactlyThreeLabels) {
  LoggingProvider s;
  s.fail_nth_call(4, "disk full");
  auto r = store_group(s, make_group(2));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), Kind::Storage);
  EXPECT_EQ(r.error().message(), "Storage error: disk full");
  EXPECT_EQ(s.calls().size(), 4u);  // nothing tried after the failure
  EXPECT_EQ(s.size(), 3u);
  for (auto label : {"tree", "confirmation_tag", "group_context"})
    EXPECT_TRUE(s.peek(label, group_key_digest(kGroupId))) << label;
}

// A store of the next epoch that fails half-way leaves labels of two epochs
// behind. Loading must refuse them rather than pair one epoch's tree with the
// other's secrets.
TEST(GroupStore, TornStoreOfTheNextEpochIsRefused) {
  for (uint64_t failing_step = 2; failing_step <= 10; ++failing_step) {
    SCOPED_TRACE(failing_step);
    MemoryStorageProvider s;
    PersistedGroup g = make_group(2);
    ASSERT_TRUE(store_group(s, g).ok());
    PersistedGroup next = make_group(3);  // one member added
    next.group_context.epoch = 6;
    next.group_context.confirmed_transcript_hash = filled(32, 0xD2);
    next.confirmation_tag = filled(32, 0x11);
    next.interim_transcript_hash = interim_transcript_hash(
        next.group_context.confirmed_transcript_hash, next.confirmation_tag);
    next.message_secrets.message_secrets.epoch = 6;
    s.fail_nth_call(failing_step, "io error");
    ASSERT_FALSE(store_group(s, next).ok());
    auto r = load_group(s, kGroupId);
    if (failing_step >= 8) {
      // Only labels that carry no epoch are old (the PSK ring, the join
      // configuration, the state): the group is whole at the new epoch.
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ((*r)->group.group_context.epoch, 6u);
      continue;
    }
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), Kind::Deserialization);
    EXPECT_NE(r.error().message().find("stored group is inconsistent"), std::string::npos)
        << r.error().message();
  }
}

TEST(GroupStore, DeleteRemovesTheGroupLabelsInOrderThenTheEpochKeys) {
  LoggingProvider s;
  PersistedGroup g = make_group(2, 1);
  ASSERT_TRUE(store_group(s, g).ok());
  ASSERT_TRUE(write_own_leaf_nodes(s, kGroupId, {make_leaf(1)}).ok());
  ASSERT_TRUE(write_queued_proposals(s, kGroupId, {}).ok());
  ASSERT_TRUE(write_epoch_key_pairs(s, kGroupId, 5, 1, {{filled(32, 1), secret(32, 2)}}).ok());
  ASSERT_TRUE(write_epoch_key_pairs(s, kGroupId, 4, 1, {{filled(32, 3), secret(32, 4)}}).ok());
  const Bytes other = text_bytes("group:other");
  ASSERT_TRUE(store_group(s, make_group(2, 0, other)).ok());
  size_t before = s.size();
  s.clear_calls();

  ASSERT_TRUE(delete_group(s, kGroupId, 5, 1).ok());
  std::vector<std::string> labels;
  for (const auto& c : s.calls()) {
    EXPECT_EQ(c.op, MemoryStorageProvider::Op::Delete);
    labels.push_back(c.type);
  }
  EXPECT_EQ(labels, (std::vector<std::string>{
                        "tree", "confirmation_tag", "group_context", "interim_transcript_hash",
                        "own_leaf_index", "group_epoch_secrets", "message_secrets",
                        "resumption_psk_store", "mls_join_config", "own_leaf_nodes",
                        "kaltra_group_state", "queued_proposals", "encryption_epoch_key_pairs"}));
  EXPECT_EQ(s.calls().back().key, epoch_key_digest(kGroupId, 5, 1));
  EXPECT_EQ(s.size(), before - 13);
  auto gone = load_group(s, kGroupId);
  ASSERT_TRUE(gone.ok());
  EXPECT_FALSE(gone->has_value());
  auto kept = load_group(s, other);
  ASSERT_TRUE(kept.ok() && kept->has_value());
  EXPECT_EQ(read_epoch_key_pairs(s, kGroupId, 4, 1)->size(), 1u);

  // A failing delete stops there; the later labels stay.
  MemoryStorageProvider f;
  ASSERT_TRUE(store_group(f, g).ok());
  f.fail_nth_call(3, "locked");
  auto r = delete_group(f, kGroupId, 5, 1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "Storage error: locked");
  EXPECT_EQ(f.size(), 10u - 2u);
  EXPECT_TRUE(f.peek("group_context", group_key_digest(kGroupId)));
}

// ---------------------------------------------------------------------------
// The other labels

TEST(GroupStoreLabels, SameBytesAsRefAndGroupIdShareADigestButNotALabel) {
  MemoryStorageProvider s;
  KeyPackageRecord kp = make_key_package_record();
  ASSERT_EQ(package_key_digest(kGroupId), group_key_digest(kGroupId));
  ASSERT_TRUE(write_key_package(s, kGroupId, kp).ok());
  ASSERT_TRUE(store_group(s, make_group(2)).ok());

  auto back = read_key_package(s, kGroupId);
  ASSERT_TRUE(back.ok() && back->has_value());
  EXPECT_EQ(**back, kp);
  auto g = load_group(s, kGroupId);
  ASSERT_TRUE(g.ok() && g->has_value());
  EXPECT_EQ(s.count("kaltra_key_package"), 1u);

  std::string json = text_of(*s.peek("kaltra_key_package", package_key_digest(kGroupId)));
  EXPECT_EQ(json.rfind(R"({"key_package":[)", 0), 0u);
  EXPECT_NE(json.find(R"("private_init_key":{"vec":[)"), std::string::npos);

  ASSERT_TRUE(delete_key_package(s, kGroupId).ok());
  EXPECT_FALSE(read_key_package(s, kGroupId)->has_value());
  EXPECT_TRUE(load_group(s, kGroupId)->has_value());
}

TEST(GroupStoreLabels, MissingValuesReadAsTheirDefaults) {
  MemoryStorageProvider s;
  auto leaves = read_own_leaf_nodes(s, kGroupId);
  ASSERT_TRUE(leaves.ok());
  EXPECT_TRUE(leaves->empty());
  auto pairs = read_epoch_key_pairs(s, kGroupId, 0, 0);
  ASSERT_TRUE(pairs.ok());
  EXPECT_TRUE(pairs->empty());
  auto queue = read_queued_proposals(s, kGroupId);
  ASSERT_TRUE(queue.ok());
  EXPECT_FALSE(queue->has_value());
  auto pair = read_encryption_key_pair(s, filled(32, 1));
  ASSERT_TRUE(pair.ok());
  EXPECT_FALSE(pair->has_value());
  auto kp = read_key_package(s, filled(32, 1));
  ASSERT_TRUE(kp.ok());
  EXPECT_FALSE(kp->has_value());
  // Deleting what is not there is the provider's call; the memory provider allows it.
  EXPECT_TRUE(delete_encryption_key_pair(s, filled(32, 1)).ok());
}

TEST(GroupStoreLabels, RoundTrips) {
  MemoryStorageProvider s;
  std::vector<HpkeKeyPair> pairs{{filled(32, 1), secret(32, 2)}, {filled(32, 3), secret(32, 4)}};
  ASSERT_TRUE(write_epoch_key_pairs(s, kGroupId, 9, 2, pairs).ok());
  EXPECT_EQ(*read_epoch_key_pairs(s, kGroupId, 9, 2), pairs);
  EXPECT_TRUE(read_epoch_key_pairs(s, kGroupId, 9, 1)->empty());
  EXPECT_EQ(text_of(*s.peek("encryption_epoch_key_pairs", epoch_key_digest(kGroupId, 9, 2)))
                .rfind(R"([{"public_key":{"vec":[)", 0),
            0u);

  ASSERT_TRUE(write_encryption_key_pair(s, pairs[1]).ok());
  EXPECT_TRUE(s.peek("encryption_key_pair", encryption_key_digest(pairs[1].public_key)));
  EXPECT_EQ(**read_encryption_key_pair(s, pairs[1].public_key), pairs[1]);
  ASSERT_TRUE(delete_encryption_key_pair(s, pairs[1].public_key).ok());
  EXPECT_FALSE(read_encryption_key_pair(s, pairs[1].public_key)->has_value());

  std::vector<LeafNode> leaves{make_leaf(1), make_leaf(2)};
  leaves[1].source = UpdateSource{};
  ASSERT_TRUE(write_own_leaf_nodes(s, kGroupId, leaves).ok());
  EXPECT_EQ(*read_own_leaf_nodes(s, kGroupId), leaves);

  AuthenticatedContent prop;
  prop.content.group_id = kGroupId;
  prop.content.epoch = 5;
  prop.content.sender = Sender::member(1);
  prop.content.content = ProposalContent{Proposal{Remove{0}}};
  prop.auth.signature = filled(64, 8);
  std::vector<QueuedProposal> queue{{filled(32, 6), prop}};
  ASSERT_TRUE(write_queued_proposals(s, kGroupId, queue).ok());
  EXPECT_EQ(**read_queued_proposals(s, kGroupId), queue);
  ASSERT_TRUE(delete_queued_proposals(s, kGroupId).ok());
  EXPECT_FALSE(read_queued_proposals(s, kGroupId)->has_value());
}

TEST(GroupStoreLabels, StorageFailuresSurfaceAsStorageErrors) {
  using Op = std::function<std::optional<StorageAdapterError>(MemoryStorageProvider&)>;
  auto err = [](const auto& r) -> std::optional<StorageAdapterError> {
    if (r.ok()) return std::nullopt;
    return r.error();
  };
  const std::pair<std::string, Op> ops[] = {
      {"load_group", [&](auto& s) { return err(load_group(s, kGroupId)); }},
      {"read_key_package", [&](auto& s) { return err(read_key_package(s, kGroupId)); }},
      {"write_key_package", [&](auto& s) { return err(write_key_package(s, kGroupId, {})); }},
      {"delete_key_package", [&](auto& s) { return err(delete_key_package(s, kGroupId)); }},
      {"read_epoch_key_pairs",
       [&](auto& s) { return err(read_epoch_key_pairs(s, kGroupId, 1, 1)); }},
      {"read_own_leaf_nodes", [&](auto& s) { return err(read_own_leaf_nodes(s, kGroupId)); }},
      {"write_message_secrets",
       [&](auto& s) { return err(write_message_secrets(s, make_group(1))); }},
  };
  for (const auto& [name, op] : ops) {
    MemoryStorageProvider s;
    s.fail_nth_call(1, "provider offline");
    auto e = op(s);
    ASSERT_TRUE(e.has_value()) << name;
    EXPECT_EQ(e->kind(), Kind::Storage) << name;
    EXPECT_EQ(e->message(), "Storage error: provider offline") << name;
  }
}

// A value that cannot be written is refused before the storage is called.
TEST(GroupStoreLabels, SerializationFailuresComeBeforeAnyStorageCall) {
  struct Case {
    std::string name;
    std::function<void(PersistedGroup&)> damage;
    size_t stores_before;  // labels written before the failing one
  };
  const Case cases[] = {
      {"pending commit that breaks its own wire declaration",
       [](PersistedGroup& g) {
         AuthenticatedContent ac;
         ac.content.content = ApplicationContent{{1}};
         ac.auth.confirmation_tag = Bytes(32, 1);  // only commits carry one
         g.state = PendingCommit{ac, SecretBytes()};
       },
       9},
      {"wire policy outside its enumeration",
       [](PersistedGroup& g) {
         g.join_config.wire_format_policy.outgoing = OutgoingWireFormatPolicy(7);
       },
       8},
  };
  for (const auto& c : cases) {
    LoggingProvider s;
    PersistedGroup g = make_group(2);
    c.damage(g);
    auto r = store_group(s, g);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), Kind::Serialization) << c.name;
    EXPECT_EQ(r.error().message().rfind("Serialization failed: ", 0), 0u) << c.name;
    EXPECT_EQ(s.calls().size(), c.stores_before) << c.name;
  }
}

TEST(GroupStoreLabels, ErrorTexts) {
  EXPECT_EQ(StorageAdapterError(Kind::Serialization, "x").message(), "Serialization failed: x");
  EXPECT_EQ(StorageAdapterError(Kind::Deserialization, "y").message(), "Deserialization failed: y");
  EXPECT_EQ(StorageAdapterError::storage({"z"}).message(), "Storage error: z");
}

// ---------------------------------------------------------------------------
// Hostile stored bytes

struct Hostile {
  std::string name;
  std::string label;
  std::string value;
  std::string expected;  // part of the error text
};

TEST(GroupStoreHostile, DamagedValuesFailTheLoadWithoutCrashing) {
  const std::string deep = std::string(2000, '[') + std::string(2000, ']');
  std::string many_nulls = "[";
  for (int i = 0; i < 100000; ++i) many_nulls += i ? ",null" : "null";
  many_nulls += "]";
  const Hostile cases[] = {
      {"not JSON", "kaltra_group_state", "Operational", "Deserialization failed: expected value"},
      {"truncated", "kaltra_group_state", "{\"PendingCommit\":{\"commit\":[1,2",
       "Deserialization failed: EOF while parsing"},
      {"unknown state", "kaltra_group_state", "\"Broken\"", "unknown variant `Broken`"},
      {"trailing characters", "own_leaf_index", "1 2", "trailing characters"},
      {"negative leaf index", "own_leaf_index", "-1", "invalid value"},
      {"string leaf index", "own_leaf_index", "\"1\"", "invalid type"},
      {"own leaf outside the tree", "own_leaf_index", "7", "own leaf is not in the tree"},
      {"byte above 255", "interim_transcript_hash", "[1,256]", "invalid value"},
      {"interim not from tag", "interim_transcript_hash", "[1,2,3]", "interim transcript hash"},
      {"nesting bomb in a byte string", "confirmation_tag", deep, "invalid type: sequence"},
      {"nesting bomb under an unknown key", "group_context", "{\"x\":" + deep + "}",
       "recursion limit exceeded"},
      {"empty object", "group_context", "{}", "missing field `protocol_version`"},
      {"huge leaf list", "tree",
       "{\"tree\":{\"leaf_nodes\":" + many_nulls + ",\"parent_nodes\":[]},\"tree_hash\":[]}",
       "ratchet tree lists 100000 leaves"},
      {"leaf that is not a leaf node", "tree",
       R"({"tree":{"leaf_nodes":[[1,2,3]],"parent_nodes":[]},"tree_hash":[]})",
       "invalid leaf node"},
      {"unmerged leaf outside the tree", "tree",
       R"({"tree":{"leaf_nodes":[null,null],"parent_nodes":[{"encryption_key":[],"parent_hash":[],"unmerged_leaves":[9]}]},"tree_hash":[]})",
       "unmerged leaf outside the tree"},
      {"short epoch secret", "group_epoch_secrets",
       R"({"epoch":5,"joiner_secret":[1],"welcome_secret":[],"epoch_secret":[],"sender_data_secret":[],"encryption_secret":[],"exporter_secret":[],"external_secret":[],"confirmation_key":[],"membership_key":[],"resumption_psk":[],"epoch_authenticator":[],"init_secret":[]})",
       "secret bytes"},
      {"secret tree node count", "message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":2,"sender_ratchet_configuration":{"out_of_order_tolerance":1,"maximum_forward_distance":1},"nodes":)" +
           many_nulls + R"(,"ratchets":[null,null]}}})",
       "node count"},
      {"skipped generation ahead", "message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":{"out_of_order_tolerance":5,"maximum_forward_distance":9},"nodes":[null],"ratchets":[{"handshake":{"secret":[],"next":0,"skipped":[]},"application":{"secret":[],"next":2,"skipped":[{"generation":2,"key":[],"nonce":[]}]}}]}}})",
       "skipped generation not below"},
      {"past epochs beyond the limit", "message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[{"epoch":1,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":{"out_of_order_tolerance":5,"maximum_forward_distance":9},"nodes":[null],"ratchets":[null]}}],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":{"out_of_order_tolerance":5,"maximum_forward_distance":9},"nodes":[null],"ratchets":[null]}}})",
       "max_epochs"},
      {"psk cursor outside the ring", "resumption_psk_store",
       R"({"max_number_of_secrets":2,"resumption_psk":[],"cursor":2})", "cursor"},
      {"unknown wire policy", "mls_join_config",
       R"({"wire_format_policy":{"outgoing":"Sometimes","incoming":"Mixed"},"padding_size":0,"max_past_epochs":0,"number_of_resumption_psks":0,"use_ratchet_tree_extension":true,"sender_ratchet_configuration":{"out_of_order_tolerance":1,"maximum_forward_distance":1}})",
       "unknown variant `Sometimes`"},
      {"duplicate key", "mls_join_config", R"({"padding_size":0,"padding_size":1})",
       "duplicate field `padding_size`"},
      {"invalid UTF-8 key", "group_context", "{\"\xff\":1}", "Deserialization failed"},
  };
  for (const auto& c : cases) {
    MemoryStorageProvider s;
    ASSERT_TRUE(store_group(s, make_group(2)).ok());
    s.poke(c.label, group_key_digest(kGroupId), text_bytes(c.value));
    auto r = load_group(s, kGroupId);
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), Kind::Deserialization) << c.name;
    EXPECT_EQ(r.error().message().rfind("Deserialization failed: ", 0), 0u) << c.name;
    EXPECT_NE(r.error().message().find(c.expected), std::string::npos)
        << c.name << ": " << r.error().message();
    // The damaged value stays as it was: reading fails again, nothing is repaired.
    EXPECT_EQ(*s.peek(c.label, group_key_digest(kGroupId)), text_bytes(c.value)) << c.name;
  }
}

TEST(GroupStoreHostile, DamagedSingleValues) {
  MemoryStorageProvider s;
  s.poke("kaltra_key_package", package_key_digest(kGroupId), text_bytes(R"({"key_package":[0,1)"));
  auto kp = read_key_package(s, kGroupId);
  ASSERT_FALSE(kp.ok());
  EXPECT_EQ(kp.error().message().rfind("Deserialization failed: EOF while parsing", 0), 0u)
      << kp.error().message();
  s.poke(
      "kaltra_key_package", package_key_digest(kGroupId),
      text_bytes(
          R"({"key_package":[0,1],"private_init_key":{"vec":[]},"private_encryption_key":{"vec":[]}})"));
  kp = read_key_package(s, kGroupId);
  ASSERT_FALSE(kp.ok());
  EXPECT_NE(kp.error().message().find("invalid key package"), std::string::npos);

  s.poke("own_leaf_nodes", group_key_digest(kGroupId), text_bytes("{}"));
  auto leaves = read_own_leaf_nodes(s, kGroupId);
  ASSERT_FALSE(leaves.ok());
  EXPECT_NE(leaves.error().message().find("invalid type: map"), std::string::npos)
      << leaves.error().message();

  s.poke("encryption_epoch_key_pairs", epoch_key_digest(kGroupId, 1, 1),
         text_bytes(R"([{"public_key":[1],"private_key":{"vec":[]}}])"));
  auto pairs = read_epoch_key_pairs(s, kGroupId, 1, 1);
  ASSERT_FALSE(pairs.ok());
  EXPECT_NE(pairs.error().message().find("invalid type: integer `1`, expected a sequence"),
            std::string::npos)
      << pairs.error().message();
}

// ---------------------------------------------------------------------------
// Golden bytes: the SHA-256 of every value each writer gives for fixed
// records, and the whole refusal text for damaged ones, so that the bytes and
// the texts stay the same whatever the writers and readers are built from.

struct GoldenValue {
  const char* name;
  const char* out;
};

std::map<std::string, std::string> golden_digests() {
  std::map<std::string, std::string> out;
  AuthenticatedContent commit;
  commit.content.group_id = kGroupId;
  commit.content.epoch = 5;
  commit.content.sender = Sender::member(0);
  commit.content.content = CommitContent{};
  commit.auth.signature = filled(64, 9);
  commit.auth.confirmation_tag = filled(32, 10);
  const GroupState states[] = {GroupOperational{}, GroupInactive{},
                               PendingCommit{commit, secret(32, 3)},
                               PendingCommit{commit, SecretBytes()}};
  for (size_t k = 0; k < std::size(states); ++k) {
    MemoryStorageProvider s;
    PersistedGroup g = make_group(uint32_t(k + 2), uint32_t(k + 1));
    g.state = states[k];
    g.message_secrets.max_epochs = 2;
    for (size_t i = 0; i < k % 3; ++i) {
      MessageSecrets past;
      past.epoch = 3 + i;
      past.sender_data_secret = secret(32, uint8_t(i));
      past.secret_tree = SecretTree(filled(32, uint8_t(i + 9)), 2);
      g.message_secrets.past_epoch_trees.push_back(std::move(past));
    }
    g.join_config.wire_format_policy.incoming = IncomingWireFormatPolicy(k % 3);
    g.join_config.wire_format_policy.outgoing = OutgoingWireFormatPolicy(k % 2);
    g.join_config.padding_size = uint32_t(16 * k);
    g.join_config.use_ratchet_tree_extension = k % 2 == 0;
    EXPECT_TRUE(store_group(s, g).ok());
    for (const auto& [label, bytes] : stored_values(s, kGroupId))
      out["group " + std::to_string(k) + " " + label] = hex_encode(crypto::sha256(bytes));
  }
  MemoryStorageProvider s;
  KeyPackageRecord kp = make_key_package_record();
  EXPECT_TRUE(write_key_package(s, kGroupId, kp).ok());
  std::vector<HpkeKeyPair> pairs{{filled(32, 1), secret(32, 2)}, {filled(3, 3), secret(0, 4)}};
  EXPECT_TRUE(write_epoch_key_pairs(s, kGroupId, 9, 2, pairs).ok());
  EXPECT_TRUE(write_encryption_key_pair(s, pairs[0]).ok());
  EXPECT_TRUE(write_own_leaf_nodes(s, kGroupId, {make_leaf(1), make_leaf(2)}).ok());
  EXPECT_TRUE(write_queued_proposals(s, kGroupId, {QueuedProposal{filled(32, 7), commit}}).ok());
  auto text = [&](std::string_view label, const std::string& key) {
    return text_of(*s.peek(label, key));
  };
  out["key package"] = text("kaltra_key_package", package_key_digest(kGroupId));
  out["epoch key pairs"] = text("encryption_epoch_key_pairs", epoch_key_digest(kGroupId, 9, 2));
  out["encryption key pair"] =
      text("encryption_key_pair", encryption_key_digest(pairs[0].public_key));
  out["own leaf nodes"] =
      hex_encode(crypto::sha256(*s.peek("own_leaf_nodes", group_key_digest(kGroupId))));
  out["queued proposals"] = text("queued_proposals", group_key_digest(kGroupId));
  return out;
}

TEST(GroupStoreGolden, StoredBytes) {
  const GoldenValue cases[] = {
      {"encryption key pair",
       R"({"public_key":{"vec":[1,8,15,22,29,36,43,50,57,64,71,78,85,92,99,106,113,120,127,134,141,148,155,162,169,176,183,190,197,204,211,218]},"private_key":{"vec":[2,9,16,23,30,37,44,51,58,65,72,79,86,93,100,107,114,121,128,135,142,149,156,163,170,177,184,191,198,205,212,219]}})"},
      {"epoch key pairs",
       R"([{"public_key":{"vec":[1,8,15,22,29,36,43,50,57,64,71,78,85,92,99,106,113,120,127,134,141,148,155,162,169,176,183,190,197,204,211,218]},"private_key":{"vec":[2,9,16,23,30,37,44,51,58,65,72,79,86,93,100,107,114,121,128,135,142,149,156,163,170,177,184,191,198,205,212,219]}},{"public_key":{"vec":[3,10,17]},"private_key":{"vec":[]}}])"},
      {"group 0 confirmation_tag",
       R"(bd03134767cea10e17531916e955313be5f76aba2b2b4fcb69f02b21d49a1dd4)"},
      {"group 0 group_context",
       R"(fbe7ca76bb71d188f4244bb9875ac06c70df55a3cbb926200da452823de09d8a)"},
      {"group 0 group_epoch_secrets",
       R"(07c954ace40a7e158a855b370241a6219ff876cb9e838f33aaa056e3a898d3d3)"},
      {"group 0 interim_transcript_hash",
       R"(5ed7f2a7bbf5d088fea05b57064306418973a173f11016287d9ba86e79a8ecc3)"},
      {"group 0 kaltra_group_state",
       R"(8e3ea26d98593efb259dd9005b7845bc55475cb0e2f7ce6f4f9aec11b9ceba70)"},
      {"group 0 message_secrets",
       R"(0627ba8299c015cf9c9d0531e84aa32eb34a5affac90de236ecbafc242e44f3b)"},
      {"group 0 mls_join_config",
       R"(4744ac42cd2951748482eabd2877f039e627cc678f67e42cc6afdee844cf0286)"},
      {"group 0 own_leaf_index",
       R"(6b86b273ff34fce19d6b804eff5a3f5747ada4eaa22f1d49c01e52ddb7875b4b)"},
      {"group 0 resumption_psk_store",
       R"(69b3d5c0efe5d92a3bb9dc1d4ce2f6861c480b9277c39b7032bee7afaad5c496)"},
      {"group 0 tree", R"(8ff0247707180042bee216ed7eb3bed3c91e244295506edeae1a137e6901659a)"},
      {"group 1 confirmation_tag",
       R"(bd03134767cea10e17531916e955313be5f76aba2b2b4fcb69f02b21d49a1dd4)"},
      {"group 1 group_context",
       R"(05ab670e1b293840a284d185569d04d91a3854f3c446b2573ee5cd06781a104f)"},
      {"group 1 group_epoch_secrets",
       R"(07c954ace40a7e158a855b370241a6219ff876cb9e838f33aaa056e3a898d3d3)"},
      {"group 1 interim_transcript_hash",
       R"(5ed7f2a7bbf5d088fea05b57064306418973a173f11016287d9ba86e79a8ecc3)"},
      {"group 1 kaltra_group_state",
       R"(f217a025a93c65fc0d3a1fe69e9643fa425e7a0ec2a72c8f7b88934bc67b7348)"},
      {"group 1 message_secrets",
       R"(5c249dab6d3db43e57b3ad17fa3c7298637898ae4ee815c86708951920817237)"},
      {"group 1 mls_join_config",
       R"(eea966b21ac966eaffb98bf5f6f4ca6ee4b9840361facfe70f1874e40dcf0ae2)"},
      {"group 1 own_leaf_index",
       R"(d4735e3a265e16eee03f59718b9b5d03019c07d8b6c51f90da3a666eec13ab35)"},
      {"group 1 resumption_psk_store",
       R"(69b3d5c0efe5d92a3bb9dc1d4ce2f6861c480b9277c39b7032bee7afaad5c496)"},
      {"group 1 tree", R"(c064d042fb0a2cd2947e26c79d3e6d75850f4b173afd133475457dfb325c01b0)"},
      {"group 2 confirmation_tag",
       R"(bd03134767cea10e17531916e955313be5f76aba2b2b4fcb69f02b21d49a1dd4)"},
      {"group 2 group_context",
       R"(d6495ad9255894847283e35f1fe0e66d323f91403f7ec9ebbf39e0bb60b282c4)"},
      {"group 2 group_epoch_secrets",
       R"(07c954ace40a7e158a855b370241a6219ff876cb9e838f33aaa056e3a898d3d3)"},
      {"group 2 interim_transcript_hash",
       R"(5ed7f2a7bbf5d088fea05b57064306418973a173f11016287d9ba86e79a8ecc3)"},
      {"group 2 kaltra_group_state",
       R"(78dbfed5c4a53eb5e25b7cd30373aff96573e9ff76f9a3b81a9b70c14bfa8b92)"},
      {"group 2 message_secrets",
       R"(44efe0edbca81c62edef0ed1ed661440133938d887e200dbe4ad89d7cb6d4bb0)"},
      {"group 2 mls_join_config",
       R"(43fce0c63fd7157cbbfc2c3d28afcf46673bb3fce93616f374f22193d01567ab)"},
      {"group 2 own_leaf_index",
       R"(4e07408562bedb8b60ce05c1decfe3ad16b72230967de01f640b7e4729b49fce)"},
      {"group 2 resumption_psk_store",
       R"(69b3d5c0efe5d92a3bb9dc1d4ce2f6861c480b9277c39b7032bee7afaad5c496)"},
      {"group 2 tree", R"(64d0dbe6868d04e90e5cbf63a25734d8dffd3acacf1e50fcd2802b08b8888347)"},
      {"group 3 confirmation_tag",
       R"(bd03134767cea10e17531916e955313be5f76aba2b2b4fcb69f02b21d49a1dd4)"},
      {"group 3 group_context",
       R"(032c0596e3e661199425fb9e31baed924231e937564342266a905710b279bd41)"},
      {"group 3 group_epoch_secrets",
       R"(07c954ace40a7e158a855b370241a6219ff876cb9e838f33aaa056e3a898d3d3)"},
      {"group 3 interim_transcript_hash",
       R"(5ed7f2a7bbf5d088fea05b57064306418973a173f11016287d9ba86e79a8ecc3)"},
      {"group 3 kaltra_group_state",
       R"(8d999aa140e0ca4c13da1f3af5245d11807f39ec8926a9efadf4ec9740d41cda)"},
      {"group 3 message_secrets",
       R"(fa7ec072cb1ada1537c8151ad7473defb7bf9dd3269e107d6a2130d9808dee2e)"},
      {"group 3 mls_join_config",
       R"(7cf9b178b5a1b9617590499bd258b55d3d358765e05010ee1cf68c1de8a9146b)"},
      {"group 3 own_leaf_index",
       R"(4b227777d4dd1fc61c6f884f48641d02b4d121d3fd328cb08b5531fcacdabf8a)"},
      {"group 3 resumption_psk_store",
       R"(69b3d5c0efe5d92a3bb9dc1d4ce2f6861c480b9277c39b7032bee7afaad5c496)"},
      {"group 3 tree", R"(4c69cc1880cd7e8b9c0af54c97925c5a63d33d888e6ff043c3e6a36c35ddcded)"},
      {"key package",
       R"({"key_package":[0,1,0,1,32,1,8,15,22,29,36,43,50,57,64,71,78,85,92,99,106,113,120,127,134,141,148,155,162,169,176,183,190,197,204,211,218,32,0,7,14,21,28,35,42,49,56,63,70,77,84,91,98,105,112,119,126,133,140,147,154,161,168,175,182,189,196,203,210,217,32,100,107,114,121,128,135,142,149,156,163,170,177,184,191,198,205,212,219,226,233,240,247,254,5,12,19,26,33,40,47,54,61,0,1,8,109,101,109,98,101,114,45,48,2,0,1,2,0,1,0,0,0,1,0,0,0,0,0,0,3,232,0,0,0,0,0,0,7,208,0,64,64,50,57,64,71,78,85,92,99,106,113,120,127,134,141,148,155,162,169,176,183,190,197,204,211,218,225,232,239,246,253,4,11,18,25,32,39,46,53,60,67,74,81,88,95,102,109,116,123,130,137,144,151,158,165,172,179,186,193,200,207,214,221,228,235,0,64,64,2,9,16,23,30,37,44,51,58,65,72,79,86,93,100,107,114,121,128,135,142,149,156,163,170,177,184,191,198,205,212,219,226,233,240,247,254,5,12,19,26,33,40,47,54,61,68,75,82,89,96,103,110,117,124,131,138,145,152,159,166,173,180,187],"private_init_key":{"vec":[3,10,17,24,31,38,45,52,59,66,73,80,87,94,101,108,115,122,129,136,143,150,157,164,171,178,185,192,199,206,213,220]},"private_encryption_key":{"vec":[4,11,18,25,32,39,46,53,60,67,74,81,88,95,102,109,116,123,130,137,144,151,158,165,172,179,186,193,200,207,214,221]}})"},
      {"own leaf nodes", R"(5cfe643a53047ced1e05771fe21e0e31a18e183a9fdaec5bbc1c10da1b6b43f3)"},
      {"queued proposals",
       R"([{"proposal_ref":[7,14,21,28,35,42,49,56,63,70,77,84,91,98,105,112,119,126,133,140,147,154,161,168,175,182,189,196,203,210,217,224],"proposal":[0,2,14,103,114,111,117,112,58,49,102,48,99,52,98,55,101,0,0,0,0,0,0,0,5,1,0,0,0,0,0,3,0,0,64,64,9,16,23,30,37,44,51,58,65,72,79,86,93,100,107,114,121,128,135,142,149,156,163,170,177,184,191,198,205,212,219,226,233,240,247,254,5,12,19,26,33,40,47,54,61,68,75,82,89,96,103,110,117,124,131,138,145,152,159,166,173,180,187,194,32,10,17,24,31,38,45,52,59,66,73,80,87,94,101,108,115,122,129,136,143,150,157,164,171,178,185,192,199,206,213,220,227]}])"},
  };
  auto got = golden_digests();
  EXPECT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(got[cases[i].name], cases[i].out) << "case " << i << ": " << cases[i].name;
}

TEST(GroupStoreGolden, RefusalTexts) {
  struct Case {
    const char* label;
    const char* value;
    const char* out;
  };
  const Case cases[] = {
      {"kaltra_group_state", R"({"PendingCommit":{"path_secret":[]}})",
       "Deserialization failed: missing field `commit` at line 1 column 35"},
      {"kaltra_group_state", R"({})",
       "Deserialization failed: invalid length 0, expected one variant of enum MlsGroupState at "
       "line 1 column 2"},
      {"kaltra_group_state", R"({"Inactive":null,"Operational":null})",
       "Deserialization failed: expected one variant of enum MlsGroupState at line 1 column 31"},
      {"kaltra_group_state", R"({"PendingCommit":[[],[]]})",
       "Deserialization failed: invalid pending commit: input ends inside a value at line 1 column "
       "20"},
      {"tree", R"({"tree":{"leaf_nodes":[null],"parent_nodes":[]}})",
       "Deserialization failed: missing field `tree_hash` at line 1 column 48"},
      {"tree", R"({"tree":{"parent_nodes":[]},"tree_hash":[]})",
       "Deserialization failed: missing field `leaf_nodes` at line 1 column 27"},
      {"tree",
       R"({"tree":{"leaf_nodes":[null,null],"parent_nodes":[{"encryption_key":[],"parent_hash":[]}]},"tree_hash":[]})",
       "Deserialization failed: missing field `unmerged_leaves` at line 1 column 88"},
      {"tree",
       R"({"tree":{"leaf_nodes":[null,null],"parent_nodes":[[[],[],[1,"x"]]]},"tree_hash":[]})",
       "Deserialization failed: invalid type: string \"x\", expected u32 at line 1 column 63"},
      {"tree", R"([[[null],[]],[]])",
       "Deserialization failed: invalid length 2, expected struct TreeSync with 4 elements at line "
       "1 column 12"},
      {"group_context", R"({"protocol_version":2})",
       "Deserialization failed: unsupported protocol version 2 at line 1 column 21"},
      {"group_context", R"([1,1,[],5,[],[],[{"extension_type":1}]])",
       "Deserialization failed: missing field `extension_data` at line 1 column 37"},
      {"group_context", R"([1,65536,[],5,[],[],[]])",
       "Deserialization failed: invalid value: integer `65536`, expected u16 at line 1 column 8"},
      {"group_context", R"([1,1,[],5,[],[],[[1,[]]]])",
       "Deserialization failed: stored group is inconsistent: its group context names another "
       "group"},
      {"group_epoch_secrets", R"({"epoch":5})",
       "Deserialization failed: missing field `joiner_secret` at line 1 column 11"},
      {"group_epoch_secrets", R"({"epoch":5,"epoch":5})",
       "Deserialization failed: duplicate field `epoch` at line 1 column 18"},
      {"group_epoch_secrets", R"([5,[],[],[],[],[],[],[],[],[],[],[]])",
       "Deserialization failed: invalid length 12, expected struct GroupEpochSecrets with 13 "
       "elements at line 1 column 36"},
      {"message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[]}})",
       "Deserialization failed: missing field `secret_tree` at line 1 column 91"},
      {"message_secrets", R"({"max_epochs":0,"past_epoch_trees":{},"message_secrets":{}})",
       "Deserialization failed: invalid type: map, expected a sequence at line 1 column 35"},
      {"message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":[1],"nodes":[null],"ratchets":[null]}}})",
       "Deserialization failed: invalid length 1, expected struct SenderRatchetConfiguration with "
       "2 elements at line 1 column 155"},
      {"message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":[1,1],"nodes":[null],"ratchets":[{"handshake":{"secret":[],"next":0,"skipped":[]}}]}}})",
       "Deserialization failed: missing field `application` at line 1 column 234"},
      {"message_secrets",
       R"({"max_epochs":0,"past_epoch_trees":[],"message_secrets":{"epoch":5,"sender_data_secret":[],"secret_tree":{"leaf_count":1,"sender_ratchet_configuration":[1,1],"nodes":[null],"ratchets":[{"handshake":{"secret":[],"next":0,"skipped":[[1,[]]]},"application":[[],0,[]]}]}}})",
       "Deserialization failed: invalid length 2, expected struct RatchetKey with 3 elements at "
       "line 1 column 237"},
      {"resumption_psk_store",
       R"({"max_number_of_secrets":2,"resumption_psk":[{"epoch":1}],"cursor":0})",
       "Deserialization failed: missing field `secret` at line 1 column 56"},
      {"resumption_psk_store",
       R"({"max_number_of_secrets":2,"resumption_psk":[[1,[1]]],"cursor":0})",
       "Deserialization failed: invalid length 1, expected 32 secret bytes at line 1 column 51"},
      {"resumption_psk_store", R"([2,[],0,1])",
       "Deserialization failed: trailing characters at line 1 column 9"},
      {"mls_join_config", R"({"wire_format_policy":{"outgoing":"AlwaysPlaintext"}})",
       "Deserialization failed: missing field `incoming` at line 1 column 52"},
      {"mls_join_config", R"([["AlwaysPlaintext","Mixed"],0,0,0,1,[1,1]])",
       "Deserialization failed: invalid type: integer `1`, expected a boolean at line 1 column 36"},
      {"mls_join_config", R"([["AlwaysPlaintext","Mixed"],0,0,0,true])",
       "Deserialization failed: invalid length 5, expected struct MlsGroupJoinConfig with 6 "
       "elements at line 1 column 40"},
      {"mls_join_config", R"([{"AlwaysPlaintext":null},"Mixed"])",
       "Deserialization failed: missing field `outgoing` at line 1 column 25"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    MemoryStorageProvider s;
    ASSERT_TRUE(store_group(s, make_group(2)).ok());
    s.poke(cases[i].label, group_key_digest(kGroupId), text_bytes(cases[i].value));
    auto r = load_group(s, kGroupId);
    std::string got = r.ok() ? "loaded" : r.error().message();
    EXPECT_EQ(got, cases[i].out) << "case " << i << ": " << cases[i].value;
  }

  struct Single {
    const char* label;
    const char* value;
    const char* out;
  };
  const Single singles[] = {
      {"kaltra_key_package", R"({"key_package":[0,1],"private_init_key":{"vec":[]}})",
       "Deserialization failed: invalid key package: input ends inside a value at line 1 column "
       "20"},
      {"kaltra_key_package",
       R"({"key_package":[0,1],"private_init_key":[],"private_encryption_key":{"vec":[]}})",
       "Deserialization failed: invalid key package: input ends inside a value at line 1 column "
       "20"},
      {"kaltra_key_package",
       R"({"key_package":[0,1],"private_init_key":{"vec":[],"vec":[]},"private_encryption_key":{"vec":[]}})",
       "Deserialization failed: invalid key package: input ends inside a value at line 1 column "
       "20"},
      {"encryption_key_pair", R"({"public_key":{"vec":[1]}})",
       "Deserialization failed: missing field `private_key` at line 1 column 26"},
      {"encryption_key_pair", R"([{"vec":[1]},{"vec":[2]},3])",
       "Deserialization failed: trailing characters at line 1 column 26"},
      {"encryption_key_pair", R"({"public_key":{},"private_key":{"vec":[]}})",
       "Deserialization failed: missing field `vec` at line 1 column 16"},
      {"queued_proposals", R"([{"proposal_ref":[1]}])",
       "Deserialization failed: missing field `proposal` at line 1 column 21"},
      {"queued_proposals", R"([[[1],[0,1]]])",
       "Deserialization failed: invalid queued proposal: input ends inside a value at line 1 "
       "column 11"},
      {"own_leaf_nodes", R"([[0,1]])",
       "Deserialization failed: invalid leaf node: vector length exceeds the remaining input at "
       "line 1 column 6"},
  };
  for (size_t i = 0; i < std::size(singles); ++i) {
    MemoryStorageProvider s;
    std::string label = singles[i].label;
    std::string key = label == "encryption_key_pair" ? encryption_key_digest(filled(1, 1))
                                                     : group_key_digest(kGroupId);
    s.poke(label, key, text_bytes(singles[i].value));
    std::string got;
    if (label == "kaltra_key_package") {
      auto r = read_key_package(s, kGroupId);
      got = r.ok() ? "read" : r.error().message();
    } else if (label == "encryption_key_pair") {
      auto r = read_encryption_key_pair(s, filled(1, 1));
      got = r.ok() ? "read" : r.error().message();
    } else if (label == "queued_proposals") {
      auto r = read_queued_proposals(s, kGroupId);
      got = r.ok() ? "read" : r.error().message();
    } else {
      auto r = read_own_leaf_nodes(s, kGroupId);
      got = r.ok() ? "read" : r.error().message();
    }
    EXPECT_EQ(got, singles[i].out) << "single " << i << ": " << singles[i].value;
  }
}

// ---------------------------------------------------------------------------
// Ratchet state through storage

class ReloadedRatchets : public ::testing::Test {
 protected:
  void SetUp() override {
    auto k = crypto::Ed25519PrivateKey::generate();
    ASSERT_TRUE(k.ok());
    signer_ = std::move(k).value();
    receiver_ = make_group(2, 0);
    receiver_.message_secrets.message_secrets.secret_tree = SecretTree(kEncryption, 2);
    sender_tree_ = SecretTree(kEncryption, 2);
    ASSERT_TRUE(store_group(storage_, receiver_).ok());
  }

  PrivateMessage send(std::string_view text) {
    FramedContent fc;
    fc.group_id = kGroupId;
    fc.epoch = 5;
    fc.sender = Sender::member(1);
    fc.content = ApplicationContent{text_bytes(text)};
    auto ac = sign_content(WireFormat::private_message, fc, *signer_, receiver_.group_context);
    EXPECT_TRUE(ac.ok());
    auto pm = protect_private(*ac, sender_tree_, kSenderData);
    EXPECT_TRUE(pm.ok());
    return *pm;
  }

  // Loads the receiver from storage, opens the message, and stores the
  // advanced message secrets as the engine does after each message.
  Result<Bytes, Error> receive(const PrivateMessage& pm) {
    auto loaded = load_group(storage_, kGroupId);
    EXPECT_TRUE(loaded.ok() && loaded->has_value());
    PersistedGroup g = std::move((*loaded)->group);
    auto& ms = g.message_secrets.message_secrets;
    auto ac = unprotect_private(pm, ms.secret_tree, ms.sender_data_secret.view(), g.group_context);
    if (!ac.ok()) return Err(ac.error());
    EXPECT_TRUE(write_message_secrets(storage_, g).ok());
    return std::get<ApplicationContent>(ac->content.content).value;
  }

  const Bytes kEncryption = filled(32, 0xE0);
  const Bytes kSenderData = filled(32, 0x44);
  MemoryStorageProvider storage_;
  PersistedGroup receiver_;
  SecretTree sender_tree_;
  std::optional<crypto::Ed25519PrivateKey> signer_;
};

TEST_F(ReloadedRatchets, NextMessageOpensAndReplaysAreRefused) {
  auto m0 = send("zero"), m1 = send("one"), m2 = send("two"), m3 = send("three");
  ASSERT_EQ(text_of(*receive(m0)), "zero");
  ASSERT_EQ(text_of(*receive(m3)), "three");  // 1 and 2 kept as skipped keys
  auto replay = receive(m0);
  ASSERT_FALSE(replay.ok());
  EXPECT_EQ(replay.error().code(), ErrorCode::SecretReused);
  ASSERT_EQ(text_of(*receive(m2)), "two");
  ASSERT_EQ(text_of(*receive(m1)), "one");
  for (const auto* m : {&m1, &m2, &m3}) {
    auto again = receive(*m);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code(), ErrorCode::SecretReused);
  }
  ASSERT_EQ(text_of(*receive(send("four"))), "four");
}

// ---------------------------------------------------------------------------
// Conformance report

TEST(ConformanceReportTest, KeepsTheOrderOfRecording) {
  ConformanceReport r;
  r.record("store then load", Result<void, std::string>());
  r.record("delete missing", Result<void, std::string>(Err(std::string("returned an error"))));
  r.record("overwrite", Result<void, std::string>());
  r.record("list keys", Result<void, std::string>(Err(std::string("missing key b"))));
  EXPECT_EQ(r.passed(), (std::vector<std::string>{"store then load", "overwrite"}));
  EXPECT_EQ(r.failures(), (std::vector<ConformanceFailure>{{"delete missing", "returned an error"},
                                                           {"list keys", "missing key b"}}));
  EXPECT_FALSE(r.all_passed());
  EXPECT_TRUE(ConformanceReport().all_passed());
}

}  // namespace
}  // namespace brenvik::rfc9420
