#include "rfc9420/group_store.h"

#include <array>
#include <bit>

#include "crypto/sha256.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/tree_math.h"
#include "util/hex.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik::rfc9420 {
namespace {

using Kind = StorageAdapterError::Kind;

// ---------------------------------------------------------------------------
// Key digests.

void write_vec(JsonWriter& w, ByteView bytes) {
  w.begin_object().key("vec").byte_array(bytes).end_object();
}

std::string digest_of(const std::string& key_record) {
  return hex_encode(crypto::sha256(as_bytes(key_record)));
}

// ---------------------------------------------------------------------------
// Writing values.

// Secrets pass through these buffers; they are wiped before they are freed.
struct WipedString {
  std::string text;
  ~WipedString() { crypto::secure_wipe(text.data(), text.size()); }
};
struct WipedBytes {
  Bytes bytes;
  ~WipedBytes() { crypto::secure_wipe(bytes.data(), bytes.size()); }
};

void write_secret_or_null(JsonWriter& w, const crypto::SecretBytes& s) {
  if (s.empty())
    w.null();
  else
    w.byte_array(s.view());
}

void write_parent(JsonWriter& w, const ParentNode& p) {
  w.begin_object();
  w.key("encryption_key").byte_array(p.encryption_key);
  w.key("parent_hash").byte_array(p.parent_hash);
  w.key("unmerged_leaves").begin_array();
  for (uint32_t l : p.unmerged_leaves) w.u64(l);
  w.end_array().end_object();
}

void write_tree(JsonWriter& w, const PublicTree& tree) {
  // Leaves and parents in their own lists, full width, blanks as null. A
  // leaf is kept as its TLS encoding: it is signed over that encoding, so a
  // reloaded leaf verifies bit for bit.
  uint32_t n = tree.leaf_count();
  w.begin_object().key("tree").begin_object();
  w.key("leaf_nodes").begin_array();
  for (uint32_t i = 0; i < n; ++i) {
    if (const LeafNode* l = tree.leaf(i))
      w.byte_array(tls_encode(*l));
    else
      w.null();
  }
  w.end_array();
  w.key("parent_nodes").begin_array();
  for (uint32_t i = 0; i + 1 < n; ++i) {
    if (const ParentNode* p = tree.parent_node(2 * uint64_t(i) + 1))
      write_parent(w, *p);
    else
      w.null();
  }
  w.end_array();
  w.key("default_leaf").null();
  w.key("default_parent").null();
  w.end_object();
  w.key("tree_hash").byte_array(tree.tree_hash());
  w.end_object();
}

void write_group_context(JsonWriter& w, const GroupContext& c) {
  w.begin_object();
  w.key("protocol_version").u64(uint64_t(c.version));
  w.key("cipher_suite").u64(c.cipher_suite);
  w.key("group_id").byte_array(c.group_id);
  w.key("epoch").u64(c.epoch);
  w.key("tree_hash").byte_array(c.tree_hash);
  w.key("confirmed_transcript_hash").byte_array(c.confirmed_transcript_hash);
  w.key("extensions").begin_array();
  for (const auto& e : c.extensions) {
    w.begin_object();
    w.key("extension_type").u64(e.extension_type);
    w.key("extension_data").byte_array(e.extension_data);
    w.end_object();
  }
  w.end_array().end_object();
}

constexpr std::array<std::pair<std::string_view, crypto::SecretBytes EpochSecrets::*>, 12>
    kEpochSecretFields{{
        {"joiner_secret", &EpochSecrets::joiner_secret},
        {"welcome_secret", &EpochSecrets::welcome_secret},
        {"epoch_secret", &EpochSecrets::epoch_secret},
        {"sender_data_secret", &EpochSecrets::sender_data_secret},
        {"encryption_secret", &EpochSecrets::encryption_secret},
        {"exporter_secret", &EpochSecrets::exporter_secret},
        {"external_secret", &EpochSecrets::external_secret},
        {"confirmation_key", &EpochSecrets::confirmation_key},
        {"membership_key", &EpochSecrets::membership_key},
        {"resumption_psk", &EpochSecrets::resumption_psk},
        {"epoch_authenticator", &EpochSecrets::epoch_authenticator},
        {"init_secret", &EpochSecrets::init_secret},
    }};

// The epoch is written beside the secrets so that a load can tell secrets
// of one epoch from a context of another (a torn group store).
void write_epoch_secrets(JsonWriter& w, uint64_t epoch, const EpochSecrets& s) {
  w.begin_object().key("epoch").u64(epoch);
  for (const auto& [name, member] : kEpochSecretFields) w.key(name).byte_array((s.*member).view());
  w.end_object();
}

void write_sender_ratchet_config(JsonWriter& w, const SenderRatchetConfig& c) {
  w.begin_object();
  w.key("out_of_order_tolerance").u64(c.out_of_order_tolerance);
  w.key("maximum_forward_distance").u64(c.maximum_forward_distance);
  w.end_object();
}

void write_ratchet(JsonWriter& w, const SecretTreeState::Ratchet& r) {
  w.begin_object();
  w.key("secret").byte_array(r.secret.view());
  w.key("next").u64(r.next);
  w.key("skipped").begin_array();
  for (const auto& k : r.skipped) {
    w.begin_object();
    w.key("generation").u64(k.generation);
    w.key("key").byte_array(k.key.view());
    w.key("nonce").byte_array(k.nonce.view());
    w.end_object();
  }
  w.end_array().end_object();
}

void write_secret_tree(JsonWriter& w, const SecretTree& tree) {
  SecretTreeState s = tree.state();
  w.begin_object();
  w.key("leaf_count").u64(s.leaf_count);
  w.key("sender_ratchet_configuration");
  write_sender_ratchet_config(w, s.config);
  w.key("nodes").begin_array();
  for (const auto& n : s.node_secrets) write_secret_or_null(w, n);
  w.end_array();
  w.key("ratchets").begin_array();
  for (const auto& l : s.leaves) {
    if (!l) {
      w.null();
      continue;
    }
    w.begin_object().key("handshake");
    write_ratchet(w, l->handshake);
    w.key("application");
    write_ratchet(w, l->application);
    w.end_object();
  }
  w.end_array().end_object();
}

void write_one_epoch(JsonWriter& w, const MessageSecrets& m) {
  w.begin_object();
  w.key("epoch").u64(m.epoch);
  w.key("sender_data_secret").byte_array(m.sender_data_secret.view());
  w.key("secret_tree");
  write_secret_tree(w, m.secret_tree);
  w.end_object();
}

void write_message_secrets_value(JsonWriter& w, const MessageSecretsStore& m) {
  w.begin_object();
  w.key("max_epochs").u64(m.max_epochs);
  w.key("past_epoch_trees").begin_array();
  for (const auto& p : m.past_epoch_trees) write_one_epoch(w, p);
  w.end_array();
  w.key("message_secrets");
  write_one_epoch(w, m.message_secrets);
  w.end_object();
}

void write_psk_store(JsonWriter& w, const ResumptionPskStore& s) {
  w.begin_object();
  w.key("max_number_of_secrets").u64(s.max_number_of_secrets);
  w.key("resumption_psk").begin_array();
  for (const auto& p : s.resumption_psk) {
    w.begin_object().key("epoch").u64(p.epoch).key("secret").byte_array(p.secret.view());
    w.end_object();
  }
  w.end_array();
  w.key("cursor").u64(s.cursor);
  w.end_object();
}

constexpr std::array<std::string_view, 2> kOutgoingNames{"AlwaysPlaintext", "AlwaysCiphertext"};
constexpr std::array<std::string_view, 3> kIncomingNames{"AlwaysPlaintext", "AlwaysCiphertext",
                                                         "Mixed"};

void write_join_config(JsonWriter& w, const JoinConfig& c) {
  w.begin_object();
  w.key("wire_format_policy").begin_object();
  w.key("outgoing").str(kOutgoingNames.at(size_t(c.wire_format_policy.outgoing)));
  w.key("incoming").str(kIncomingNames.at(size_t(c.wire_format_policy.incoming)));
  w.end_object();
  w.key("padding_size").u64(c.padding_size);
  w.key("max_past_epochs").u64(c.max_past_epochs);
  w.key("number_of_resumption_psks").u64(c.number_of_resumption_psks);
  w.key("use_ratchet_tree_extension").boolean(c.use_ratchet_tree_extension);
  w.key("sender_ratchet_configuration");
  write_sender_ratchet_config(w, c.sender_ratchet_configuration);
  w.end_object();
}

void write_group_state_value(JsonWriter& w, const GroupState& s) {
  std::visit(
      [&](const auto& v) {
        using T = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::is_same_v<T, GroupOperational>) {
          w.str("Operational");
        } else if constexpr (std::is_same_v<T, GroupInactive>) {
          w.str("Inactive");
        } else {
          w.begin_object().key("PendingCommit").begin_object();
          w.key("commit").byte_array(tls_encode(v.commit));
          w.key("path_secret").byte_array(v.path_secret.view());
          w.end_object().end_object();
        }
      },
      s);
}

void write_key_pair(JsonWriter& w, const HpkeKeyPair& p) {
  w.begin_object();
  w.key("public_key");
  write_vec(w, p.public_key);
  w.key("private_key");
  write_vec(w, p.private_key.view());
  w.end_object();
}

// ---------------------------------------------------------------------------
// Reading values. Every reader consumes exactly one JSON value.

using Status = JsonStatus;
template <typename T>
using Read = Result<T, JsonError>;

// An array whose entries are null (blank, appended as an empty entry) or a
// value that `read_one()` reads.
template <typename Vec, typename ReadOne>
Status read_nullable_array(JsonReader& r, Vec& out, ReadOne read_one) {
  BRENVIK_TRY_VOID(r.begin_array());
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) return {};
    BRENVIK_TRY(bool blank, r.peek_null());
    if (blank) {
      BRENVIK_TRY_VOID(r.read_null());
      out.emplace_back();
      continue;
    }
    BRENVIK_TRY(auto v, read_one());
    out.emplace_back(std::move(v));
  }
}

Read<crypto::SecretBytes> read_secret(JsonReader& r) {
  BRENVIK_TRY(Bytes b, r.read_byte_array());
  WipedBytes wipe{std::move(b)};
  return crypto::SecretBytes(ByteView(wipe.bytes));
}

// A secret of exactly kNh bytes, or empty (a secret already deleted).
Read<crypto::SecretBytes> read_hash_secret(JsonReader& r) {
  BRENVIK_TRY(crypto::SecretBytes s, read_secret(r));
  if (!s.empty() && s.size() != kNh)
    return Err(r.error("invalid length " + std::to_string(s.size()) + ", expected " +
                       std::to_string(kNh) + " secret bytes"));
  return s;
}

Read<Bytes> read_vec(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"vec", FieldRule::Required}};
  Bytes out;
  BRENVIK_TRY_VOID(read_record(r, "struct VLBytes", kFields, [&](size_t) -> Status {
    BRENVIK_TRY(out, r.read_byte_array());
    return {};
  }));
  return out;
}

Read<crypto::SecretBytes> read_secret_vec(JsonReader& r) {
  BRENVIK_TRY(Bytes b, read_vec(r));
  WipedBytes wipe{std::move(b)};
  return crypto::SecretBytes(ByteView(wipe.bytes));
}

// A value kept as its TLS encoding inside a byte array.
template <typename T>
Read<T> read_tls(JsonReader& r, std::string_view what) {
  BRENVIK_TRY(Bytes b, r.read_byte_array());
  auto v = tls_decode<T>(b);
  if (!v.ok())
    return Err(
        r.error("invalid " + std::string(what) + ": " + std::string(tls_error_message(v.error()))));
  return std::move(v).value();
}

Read<uint32_t> read_u32(JsonReader& r) {
  return r.read_u32();
}

Read<ParentNode> read_parent(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"encryption_key", FieldRule::Required},
                                          {"parent_hash", FieldRule::Required},
                                          {"unmerged_leaves", FieldRule::Required}};
  ParentNode p;
  BRENVIK_TRY_VOID(read_record(r, "struct ParentNode", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(p.encryption_key, r.read_byte_array());
        return {};
      }
      case 1: {
        BRENVIK_TRY(p.parent_hash, r.read_byte_array());
        return {};
      }
      default: {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          BRENVIK_TRY(uint32_t l, r.read_u32());
          p.unmerged_leaves.push_back(l);
        }
        return {};
      }
    }
  }));
  return p;
}

struct StoredTree {
  PublicTree tree;
  Bytes tree_hash;
};

Read<StoredTree> read_tree(JsonReader& r) {
  std::vector<OptionalBox<Node>> leaves;
  std::vector<OptionalBox<Node>> parents;
  Bytes stored_hash;

  auto read_leaf = [&]() -> Read<Node> {
    BRENVIK_TRY(LeafNode l, read_tls<LeafNode>(r, "leaf node"));
    return Node{tls::Case<NodeType::leaf, LeafNode>{std::move(l)}};
  };
  auto read_parent_node = [&]() -> Read<Node> {
    BRENVIK_TRY(ParentNode p, read_parent(r));
    return Node{tls::Case<NodeType::parent, ParentNode>{std::move(p)}};
  };
  static constexpr JsonField kInner[] = {{"leaf_nodes", FieldRule::Required},
                                         {"parent_nodes", FieldRule::Required},
                                         {"default_leaf", FieldRule::Optional},
                                         {"default_parent", FieldRule::Optional}};
  auto read_inner = [&]() -> Status {
    return read_record(r, "struct TreeSync", kInner, [&](size_t i) -> Status {
      switch (i) {
        case 0:
          return read_nullable_array(r, leaves, read_leaf);
        case 1:
          return read_nullable_array(r, parents, read_parent_node);
        default:
          return r.skip_value();
      }
    });
  };
  static constexpr JsonField kOuter[] = {{"tree", FieldRule::Required},
                                         {"tree_hash", FieldRule::Required}};
  BRENVIK_TRY_VOID(read_record(r, "struct RatchetTree", kOuter, [&](size_t i) -> Status {
    if (i == 0) return read_inner();
    BRENVIK_TRY(stored_hash, r.read_byte_array());
    return {};
  }));
  for (const auto& p : parents)
    if (p)
      for (uint32_t l : p->parent()->unmerged_leaves)
        if (l >= leaves.size()) return Err(r.error("unmerged leaf outside the tree"));
  if (leaves.empty() || !std::has_single_bit(leaves.size()) ||
      parents.size() + 1 != leaves.size() || leaves.size() > tree_math::kMaxLeaves)
    return Err(r.error("ratchet tree lists " + std::to_string(leaves.size()) + " leaves and " +
                       std::to_string(parents.size()) + " parents"));
  RatchetTree wire;
  wire.reserve(2 * leaves.size() - 1);
  for (size_t i = 0; i < leaves.size(); ++i) {
    wire.push_back(std::move(leaves[i]));
    if (i < parents.size()) wire.push_back(std::move(parents[i]));
  }
  while (!wire.empty() && !wire.back()) wire.pop_back();
  auto tree = PublicTree::from_wire(wire);
  if (!tree.ok()) return Err(r.error("invalid ratchet tree: " + tree.error().message()));
  if (tree->leaf_count() != leaves.size())
    return Err(r.error("ratchet tree has a blank right half"));
  if (tree->tree_hash() != stored_hash)
    return Err(r.error("ratchet tree does not match its stored tree hash"));
  return StoredTree{std::move(tree).value(), std::move(stored_hash)};
}

Read<GroupContext> read_group_context(JsonReader& r) {
  static constexpr JsonField kFields[] = {
      {"protocol_version", FieldRule::Required}, {"cipher_suite", FieldRule::Required},
      {"group_id", FieldRule::Required},         {"epoch", FieldRule::Required},
      {"tree_hash", FieldRule::Required},        {"confirmed_transcript_hash", FieldRule::Required},
      {"extensions", FieldRule::Required}};
  static constexpr JsonField kExtFields[] = {{"extension_type", FieldRule::Required},
                                             {"extension_data", FieldRule::Required}};
  GroupContext c;
  BRENVIK_TRY_VOID(read_record(r, "struct GroupContext", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(uint16_t v, r.read_u16());
        if (v != uint16_t(ProtocolVersion::mls10))
          return Err(r.error("unsupported protocol version " + std::to_string(v)));
        c.version = ProtocolVersion::mls10;
        return {};
      }
      case 1: {
        BRENVIK_TRY(c.cipher_suite, r.read_u16());
        return {};
      }
      case 2: {
        BRENVIK_TRY(c.group_id, r.read_byte_array());
        return {};
      }
      case 3: {
        BRENVIK_TRY(c.epoch, r.read_u64());
        return {};
      }
      case 4: {
        BRENVIK_TRY(c.tree_hash, r.read_byte_array());
        return {};
      }
      case 5: {
        BRENVIK_TRY(c.confirmed_transcript_hash, r.read_byte_array());
        return {};
      }
      default: {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          Extension e;
          BRENVIK_TRY_VOID(read_record(r, "struct Extension", kExtFields, [&](size_t j) -> Status {
            if (j == 0) {
              BRENVIK_TRY(e.extension_type, r.read_u16());
            } else {
              BRENVIK_TRY(e.extension_data, r.read_byte_array());
            }
            return {};
          }));
          c.extensions.push_back(std::move(e));
        }
        return {};
      }
    }
  }));
  return c;
}

struct StoredEpochSecrets {
  uint64_t epoch = 0;
  EpochSecrets secrets;
};

Read<StoredEpochSecrets> read_epoch_secrets(JsonReader& r) {
  static constexpr auto kFields = [] {
    std::array<JsonField, kEpochSecretFields.size() + 1> f{};
    f[0] = {"epoch", FieldRule::Required};
    for (size_t i = 0; i < kEpochSecretFields.size(); ++i)
      f[i + 1] = {kEpochSecretFields[i].first, FieldRule::Required};
    return f;
  }();
  StoredEpochSecrets out;
  BRENVIK_TRY_VOID(read_record(r, "struct GroupEpochSecrets", kFields, [&](size_t i) -> Status {
    if (i == 0) {
      BRENVIK_TRY(out.epoch, r.read_u64());
      return {};
    }
    BRENVIK_TRY(out.secrets.*kEpochSecretFields[i - 1].second, read_hash_secret(r));
    return {};
  }));
  return out;
}

Read<SenderRatchetConfig> read_sender_ratchet_config(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"out_of_order_tolerance", FieldRule::Required},
                                          {"maximum_forward_distance", FieldRule::Required}};
  SenderRatchetConfig c;
  BRENVIK_TRY_VOID(
      read_record(r, "struct SenderRatchetConfiguration", kFields, [&](size_t i) -> Status {
        if (i == 0) {
          BRENVIK_TRY(c.out_of_order_tolerance, r.read_u32());
        } else {
          BRENVIK_TRY(c.maximum_forward_distance, r.read_u32());
        }
        return {};
      }));
  return c;
}

Read<SecretTreeState::Ratchet> read_ratchet(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"secret", FieldRule::Required},
                                          {"next", FieldRule::Required},
                                          {"skipped", FieldRule::Required}};
  static constexpr JsonField kKeyFields[] = {{"generation", FieldRule::Required},
                                             {"key", FieldRule::Required},
                                             {"nonce", FieldRule::Required}};
  SecretTreeState::Ratchet out;
  BRENVIK_TRY_VOID(read_record(r, "struct SenderRatchet", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(out.secret, read_hash_secret(r));
        return {};
      }
      case 1: {
        BRENVIK_TRY(out.next, r.read_u32());
        return {};
      }
      default: {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          RatchetKey k;
          BRENVIK_TRY_VOID(read_record(r, "struct RatchetKey", kKeyFields, [&](size_t j) -> Status {
            switch (j) {
              case 0: {
                BRENVIK_TRY(k.generation, r.read_u32());
                return {};
              }
              case 1: {
                BRENVIK_TRY(k.key, read_secret(r));
                return {};
              }
              default: {
                BRENVIK_TRY(k.nonce, read_secret(r));
                return {};
              }
            }
          }));
          out.skipped.push_back(std::move(k));
        }
        return {};
      }
    }
  }));
  return out;
}

Read<SecretTree> read_secret_tree(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"leaf_count", FieldRule::Required},
                                          {"sender_ratchet_configuration", FieldRule::Required},
                                          {"nodes", FieldRule::Required},
                                          {"ratchets", FieldRule::Required}};
  static constexpr JsonField kLeafFields[] = {{"handshake", FieldRule::Required},
                                              {"application", FieldRule::Required}};
  SecretTreeState s;
  BRENVIK_TRY_VOID(read_record(r, "struct SecretTree", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(s.leaf_count, r.read_u32());
        return {};
      }
      case 1: {
        BRENVIK_TRY(s.config, read_sender_ratchet_config(r));
        return {};
      }
      case 2: {
        return read_nullable_array(r, s.node_secrets, [&] { return read_hash_secret(r); });
      }
      default: {
        return read_nullable_array(r, s.leaves, [&]() -> Read<SecretTreeState::Leaf> {
          SecretTreeState::Leaf leaf;
          BRENVIK_TRY_VOID(
              read_record(r, "struct LeafRatchets", kLeafFields, [&](size_t j) -> Status {
                if (j == 0) {
                  BRENVIK_TRY(leaf.handshake, read_ratchet(r));
                } else {
                  BRENVIK_TRY(leaf.application, read_ratchet(r));
                }
                return {};
              }));
          return leaf;
        });
      }
    }
  }));
  auto tree = SecretTree::from_state(std::move(s));
  if (!tree.ok()) return Err(r.error(tree.error().detail()));
  return std::move(tree).value();
}

Read<MessageSecrets> read_one_epoch(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"epoch", FieldRule::Required},
                                          {"sender_data_secret", FieldRule::Required},
                                          {"secret_tree", FieldRule::Required}};
  MessageSecrets m;
  BRENVIK_TRY_VOID(read_record(r, "struct MessageSecrets", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(m.epoch, r.read_u64());
        return {};
      }
      case 1: {
        BRENVIK_TRY(m.sender_data_secret, read_hash_secret(r));
        return {};
      }
      default: {
        BRENVIK_TRY(m.secret_tree, read_secret_tree(r));
        return {};
      }
    }
  }));
  return m;
}

Read<MessageSecretsStore> read_message_secrets_value(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"max_epochs", FieldRule::Required},
                                          {"past_epoch_trees", FieldRule::Required},
                                          {"message_secrets", FieldRule::Required}};
  MessageSecretsStore m;
  BRENVIK_TRY_VOID(read_record(r, "struct MessageSecretsStore", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(m.max_epochs, r.read_u32());
        return {};
      }
      case 1: {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          BRENVIK_TRY(MessageSecrets p, read_one_epoch(r));
          m.past_epoch_trees.push_back(std::move(p));
        }
        return {};
      }
      default: {
        BRENVIK_TRY(m.message_secrets, read_one_epoch(r));
        return {};
      }
    }
  }));
  if (m.past_epoch_trees.size() > m.max_epochs)
    return Err(r.error("more past epochs kept than max_epochs allows"));
  return m;
}

Read<ResumptionPskStore> read_psk_store(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"max_number_of_secrets", FieldRule::Required},
                                          {"resumption_psk", FieldRule::Required},
                                          {"cursor", FieldRule::Required}};
  static constexpr JsonField kPskFields[] = {{"epoch", FieldRule::Required},
                                             {"secret", FieldRule::Required}};
  ResumptionPskStore s;
  BRENVIK_TRY_VOID(read_record(r, "struct ResumptionPskStore", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(s.max_number_of_secrets, r.read_u32());
        return {};
      }
      case 1: {
        BRENVIK_TRY_VOID(r.begin_array());
        for (;;) {
          BRENVIK_TRY(bool more, r.next_element());
          if (!more) break;
          StoredResumptionPsk p;
          BRENVIK_TRY_VOID(
              read_record(r, "struct ResumptionPsk", kPskFields, [&](size_t j) -> Status {
                if (j == 0) {
                  BRENVIK_TRY(p.epoch, r.read_u64());
                } else {
                  BRENVIK_TRY(p.secret, read_hash_secret(r));
                }
                return {};
              }));
          s.resumption_psk.push_back(std::move(p));
        }
        return {};
      }
      default: {
        BRENVIK_TRY(s.cursor, r.read_u32());
        return {};
      }
    }
  }));
  if (s.resumption_psk.size() > s.max_number_of_secrets)
    return Err(r.error("more resumption PSKs than max_number_of_secrets allows"));
  if (s.cursor > s.max_number_of_secrets ||
      (s.max_number_of_secrets > 0 && s.cursor == s.max_number_of_secrets))
    return Err(r.error("resumption PSK cursor outside the ring"));
  return s;
}

Read<JoinConfig> read_join_config(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"wire_format_policy", FieldRule::Required},
                                          {"padding_size", FieldRule::Required},
                                          {"max_past_epochs", FieldRule::Required},
                                          {"number_of_resumption_psks", FieldRule::Required},
                                          {"use_ratchet_tree_extension", FieldRule::Required},
                                          {"sender_ratchet_configuration", FieldRule::Required}};
  static constexpr JsonField kPolicyFields[] = {{"outgoing", FieldRule::Required},
                                                {"incoming", FieldRule::Required}};
  JoinConfig c;
  BRENVIK_TRY_VOID(read_record(r, "struct MlsGroupJoinConfig", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0:
        return read_record(r, "struct WireFormatPolicy", kPolicyFields, [&](size_t j) -> Status {
          if (j == 0) {
            BRENVIK_TRY(size_t v,
                        read_unit_enum(r, "enum OutgoingWireFormatPolicy", kOutgoingNames));
            c.wire_format_policy.outgoing = OutgoingWireFormatPolicy(v);
          } else {
            BRENVIK_TRY(size_t v,
                        read_unit_enum(r, "enum IncomingWireFormatPolicy", kIncomingNames));
            c.wire_format_policy.incoming = IncomingWireFormatPolicy(v);
          }
          return {};
        });
      case 1: {
        BRENVIK_TRY(c.padding_size, r.read_u32());
        return {};
      }
      case 2: {
        BRENVIK_TRY(c.max_past_epochs, r.read_u32());
        return {};
      }
      case 3: {
        BRENVIK_TRY(c.number_of_resumption_psks, r.read_u32());
        return {};
      }
      case 4: {
        BRENVIK_TRY(c.use_ratchet_tree_extension, r.read_bool());
        return {};
      }
      default: {
        BRENVIK_TRY(c.sender_ratchet_configuration, read_sender_ratchet_config(r));
        return {};
      }
    }
  }));
  return c;
}

constexpr std::array<std::string_view, 3> kGroupStateNames{"Operational", "Inactive",
                                                           "PendingCommit"};

Read<PendingCommit> read_pending_commit(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"commit", FieldRule::Required},
                                          {"path_secret", FieldRule::Required}};
  PendingCommit p;
  BRENVIK_TRY_VOID(read_record(r, "struct PendingCommit", kFields, [&](size_t i) -> Status {
    if (i == 0) {
      BRENVIK_TRY(p.commit, read_tls<AuthenticatedContent>(r, "pending commit"));
    } else {
      BRENVIK_TRY(p.path_secret, read_hash_secret(r));
    }
    return {};
  }));
  return p;
}

Read<GroupState> read_group_state_value(JsonReader& r) {
  BRENVIK_TRY(JsonType t, r.peek_type());
  if (t == JsonType::String) {
    static constexpr std::array<std::string_view, 2> kUnit{"Operational", "Inactive"};
    BRENVIK_TRY(size_t v, read_unit_enum(r, "enum MlsGroupState", kUnit));
    if (v == 0) return GroupState(GroupOperational{});
    return GroupState(GroupInactive{});
  }
  BRENVIK_TRY_VOID(r.begin_object("enum MlsGroupState"));
  std::string_view key;
  BRENVIK_TRY(bool any, r.next_key(key));
  if (!any) return Err(r.error("invalid length 0, expected one variant of enum MlsGroupState"));
  GroupState out;
  if (key == "PendingCommit") {
    BRENVIK_TRY(PendingCommit p, read_pending_commit(r));
    out = std::move(p);
  } else if (key == "Operational" || key == "Inactive") {
    bool op = key == "Operational";
    BRENVIK_TRY_VOID(r.read_null());
    out = op ? GroupState(GroupOperational{}) : GroupState(GroupInactive{});
  } else {
    return Err(r.error(unknown_variant_message(key, kGroupStateNames)));
  }
  BRENVIK_TRY(bool more, r.next_key(key));
  if (more) return Err(r.error("expected one variant of enum MlsGroupState"));
  return out;
}

Read<HpkeKeyPair> read_key_pair(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"public_key", FieldRule::Required},
                                          {"private_key", FieldRule::Required}};
  HpkeKeyPair p;
  BRENVIK_TRY_VOID(read_record(r, "struct HpkeKeyPair", kFields, [&](size_t i) -> Status {
    if (i == 0) {
      BRENVIK_TRY(p.public_key, read_vec(r));
    } else {
      BRENVIK_TRY(p.private_key, read_secret_vec(r));
    }
    return {};
  }));
  return p;
}

template <typename T, typename F>
Read<std::vector<T>> read_list(JsonReader& r, F&& read_one) {
  std::vector<T> out;
  BRENVIK_TRY_VOID(r.begin_array());
  for (;;) {
    BRENVIK_TRY(bool more, r.next_element());
    if (!more) break;
    BRENVIK_TRY(T v, read_one(r));
    out.push_back(std::move(v));
  }
  return out;
}

Read<QueuedProposal> read_queued_proposal(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"proposal_ref", FieldRule::Required},
                                          {"proposal", FieldRule::Required}};
  QueuedProposal q;
  BRENVIK_TRY_VOID(read_record(r, "struct QueuedProposal", kFields, [&](size_t i) -> Status {
    if (i == 0) {
      BRENVIK_TRY(q.proposal_ref, r.read_byte_array());
    } else {
      BRENVIK_TRY(q.content, read_tls<AuthenticatedContent>(r, "queued proposal"));
    }
    return {};
  }));
  return q;
}

Read<KeyPackageRecord> read_key_package_record(JsonReader& r) {
  static constexpr JsonField kFields[] = {{"key_package", FieldRule::Required},
                                          {"private_init_key", FieldRule::Required},
                                          {"private_encryption_key", FieldRule::Required}};
  KeyPackageRecord k;
  BRENVIK_TRY_VOID(read_record(r, "struct KeyPackageBundle", kFields, [&](size_t i) -> Status {
    switch (i) {
      case 0: {
        BRENVIK_TRY(k.key_package, read_tls<KeyPackage>(r, "key package"));
        return {};
      }
      case 1: {
        BRENVIK_TRY(k.private_init_key, read_secret_vec(r));
        return {};
      }
      default: {
        BRENVIK_TRY(k.private_encryption_key, read_secret_vec(r));
        return {};
      }
    }
  }));
  return k;
}

// ---------------------------------------------------------------------------
// The three primitive operations.

template <typename WriteValue>
StoreResult write_label(StorageProvider& s, std::string_view label, const std::string& key,
                        WriteValue&& write_value) {
  JsonWriter w(256);
  // The writer cannot fail on the values above; an exception (allocation)
  // is a failure to serialise, reported before any storage call.
  WipedString text;
  try {
    write_value(w);
    text.text = w.take();
  } catch (const std::exception& e) {
    return Err(StorageAdapterError(Kind::Serialization, e.what()));
  }
  auto st = s.store(label, key, as_bytes(text.text));
  if (!st.ok()) return Err(StorageAdapterError::storage(std::move(st).error()));
  return {};
}

// Loads and parses one value; nothing stored gives an empty optional.
template <typename T, typename ReadValue>
Result<std::optional<T>, StorageAdapterError> read_label(StorageProvider& s, std::string_view label,
                                                         const std::string& key,
                                                         ReadValue&& read_value) {
  auto loaded = s.load(label, key);
  if (!loaded.ok()) return Err(StorageAdapterError::storage(std::move(loaded).error()));
  if (!loaded->has_value()) return std::optional<T>();
  WipedBytes bytes{std::move(**loaded)};
  JsonReader r(ByteView(bytes.bytes));
  auto v = read_value(r);
  if (!v.ok()) return Err(StorageAdapterError(Kind::Deserialization, v.error().to_string()));
  auto fin = r.finish();
  if (!fin.ok()) return Err(StorageAdapterError(Kind::Deserialization, fin.error().to_string()));
  return std::optional<T>(std::move(v).value());
}

StoreResult delete_label(StorageProvider& s, std::string_view label, const std::string& key) {
  auto st = s.delete_(label, key);
  if (!st.ok()) return Err(StorageAdapterError::storage(std::move(st).error()));
  return {};
}

StorageAdapterError torn(std::string why) {
  return StorageAdapterError(Kind::Deserialization, "stored group is inconsistent: " + why);
}

}  // namespace

// ---------------------------------------------------------------------------

std::string group_key_digest(ByteView group_id) {
  JsonWriter w(16 + 4 * group_id.size());
  w.begin_object().key("value");
  write_vec(w, group_id);
  w.end_object();
  return digest_of(w.text());
}

std::string package_key_digest(ByteView key_package_ref) {
  return group_key_digest(key_package_ref);
}

std::string encryption_key_digest(ByteView hpke_public_key) {
  JsonWriter w(16 + 4 * hpke_public_key.size());
  w.begin_object().key("key");
  write_vec(w, hpke_public_key);
  w.end_object();
  return digest_of(w.text());
}

std::string epoch_key_digest(ByteView group_id, uint64_t epoch, uint32_t leaf_index) {
  JsonWriter w(64 + 4 * group_id.size());
  w.begin_object().key("group_id").begin_object().key("value");
  write_vec(w, group_id);
  w.end_object();
  w.key("epoch").u64(epoch);
  w.key("leaf_index").u64(leaf_index);
  w.end_object();
  return digest_of(w.text());
}

StoreResult store_group(StorageProvider& s, const PersistedGroup& g) {
  ByteView id = g.group_id();
  uint64_t epoch = g.group_context.epoch;
  // The digest is computed afresh for each step (it is cheap, and no step
  // depends on state left by another).
  BRENVIK_TRY_VOID(write_label(s, store_label::tree, group_key_digest(id),
                               [&](JsonWriter& w) { write_tree(w, g.tree); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::confirmation_tag, group_key_digest(id),
                               [&](JsonWriter& w) { w.byte_array(g.confirmation_tag); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::group_context, group_key_digest(id),
                               [&](JsonWriter& w) { write_group_context(w, g.group_context); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::interim_transcript_hash, group_key_digest(id),
                               [&](JsonWriter& w) { w.byte_array(g.interim_transcript_hash); }));
  BRENVIK_TRY_VOID(
      write_label(s, store_label::group_epoch_secrets, group_key_digest(id),
                  [&](JsonWriter& w) { write_epoch_secrets(w, epoch, g.epoch_secrets); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::own_leaf_index, group_key_digest(id),
                               [&](JsonWriter& w) { w.u64(g.own_leaf_index); }));
  BRENVIK_TRY_VOID(write_message_secrets(s, g));
  BRENVIK_TRY_VOID(write_label(s, store_label::resumption_psk_store, group_key_digest(id),
                               [&](JsonWriter& w) { write_psk_store(w, g.resumption_psk_store); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::join_config, group_key_digest(id),
                               [&](JsonWriter& w) { write_join_config(w, g.join_config); }));
  return write_group_state(s, g);
}

StoreResult write_message_secrets(StorageProvider& s, const PersistedGroup& g) {
  return write_message_secrets(s, g.group_id(), g.message_secrets);
}

StoreResult write_message_secrets(StorageProvider& s, ByteView group_id,
                                  const MessageSecretsStore& m) {
  return write_label(s, store_label::message_secrets, group_key_digest(group_id),
                     [&](JsonWriter& w) { write_message_secrets_value(w, m); });
}

StoreResult write_group_state(StorageProvider& s, const PersistedGroup& g) {
  return write_label(s, store_label::group_state, group_key_digest(g.group_id()),
                     [&](JsonWriter& w) { write_group_state_value(w, g.state); });
}

Result<std::optional<LoadedGroup>, StorageAdapterError> load_group(StorageProvider& s,
                                                                   ByteView group_id) {
  const std::string key = group_key_digest(group_id);
  using None = std::optional<LoadedGroup>;

  BRENVIK_TRY(auto state,
              read_label<GroupState>(s, store_label::group_state, key, read_group_state_value));
  BRENVIK_TRY(auto tree, read_label<StoredTree>(s, store_label::tree, key, read_tree));
  BRENVIK_TRY(auto queued, read_queued_proposals(s, group_id));
  BRENVIK_TRY(auto secrets, read_label<StoredEpochSecrets>(s, store_label::group_epoch_secrets, key,
                                                           read_epoch_secrets));
  BRENVIK_TRY(auto context,
              read_label<GroupContext>(s, store_label::group_context, key, read_group_context));
  BRENVIK_TRY(auto own_leaf, read_label<uint32_t>(s, store_label::own_leaf_index, key, read_u32));
  BRENVIK_TRY(auto messages, read_label<MessageSecretsStore>(s, store_label::message_secrets, key,
                                                             read_message_secrets_value));
  auto read_bytes = [](JsonReader& r) { return r.read_byte_array(); };
  BRENVIK_TRY(auto interim,
              read_label<Bytes>(s, store_label::interim_transcript_hash, key, read_bytes));
  BRENVIK_TRY(auto tag, read_label<Bytes>(s, store_label::confirmation_tag, key, read_bytes));
  BRENVIK_TRY(auto psks, read_label<ResumptionPskStore>(s, store_label::resumption_psk_store, key,
                                                        read_psk_store));
  BRENVIK_TRY(auto config,
              read_label<JoinConfig>(s, store_label::join_config, key, read_join_config));
  BRENVIK_TRY(auto own_leaves, read_own_leaf_nodes(s, group_id));

  if (!state || !tree || !secrets || !context || !own_leaf || !messages || !interim || !tag ||
      !psks || !config)
    return None();

  // The parts must describe one group at one epoch. A group store that
  // failed half-way leaves labels of two epochs behind; assembling a group
  // from them would pair one epoch's tree with another's secrets.
  if (!std::ranges::equal(context->group_id, group_id))
    return Err(torn("its group context names another group"));
  uint64_t epoch = context->epoch;
  if (secrets->epoch != epoch) return Err(torn("epoch secrets of another epoch"));
  if (messages->message_secrets.epoch != epoch)
    return Err(torn("message secrets of another epoch"));
  if (tree->tree_hash != context->tree_hash)
    return Err(torn("the tree does not hash to the group context's tree hash"));
  // A member that was removed keeps its group as Inactive with its leaf gone.
  if (!std::holds_alternative<GroupInactive>(*state) &&
      (*own_leaf >= tree->tree.leaf_count() || !tree->tree.leaf(*own_leaf)))
    return Err(torn("its own leaf is not in the tree"));
  if (messages->message_secrets.secret_tree.leaf_count() != tree->tree.leaf_count())
    return Err(torn("the secret tree does not match the ratchet tree"));
  if (*interim != interim_transcript_hash(context->confirmed_transcript_hash, *tag))
    return Err(torn("the interim transcript hash does not follow from the confirmation tag"));

  LoadedGroup out{
      PersistedGroup{std::move(tree->tree), std::move(*tag), std::move(*context),
                     std::move(*interim), std::move(secrets->secrets), *own_leaf,
                     std::move(*messages), std::move(*psks), std::move(*config), std::move(*state)},
      std::move(own_leaves), std::move(queued)};
  return None(std::move(out));
}

StoreResult delete_group(StorageProvider& s, ByteView group_id, uint64_t epoch,
                         uint32_t own_leaf_index) {
  static constexpr std::string_view kOrder[] = {
      store_label::tree,
      store_label::confirmation_tag,
      store_label::group_context,
      store_label::interim_transcript_hash,
      store_label::own_leaf_index,
      store_label::group_epoch_secrets,
      store_label::message_secrets,
      store_label::resumption_psk_store,
      store_label::join_config,
      store_label::own_leaf_nodes,
      store_label::group_state,
      store_label::queued_proposals,
  };
  for (std::string_view label : kOrder)
    BRENVIK_TRY_VOID(delete_label(s, label, group_key_digest(group_id)));
  return delete_epoch_key_pairs(s, group_id, epoch, own_leaf_index);
}

StoreResult write_epoch_key_pairs(StorageProvider& s, ByteView group_id, uint64_t epoch,
                                  uint32_t leaf_index, const std::vector<HpkeKeyPair>& pairs) {
  return write_label(s, store_label::encryption_epoch_key_pairs,
                     epoch_key_digest(group_id, epoch, leaf_index), [&](JsonWriter& w) {
                       w.begin_array();
                       for (const auto& p : pairs) write_key_pair(w, p);
                       w.end_array();
                     });
}

Result<std::vector<HpkeKeyPair>, StorageAdapterError> read_epoch_key_pairs(StorageProvider& s,
                                                                           ByteView group_id,
                                                                           uint64_t epoch,
                                                                           uint32_t leaf_index) {
  BRENVIK_TRY(auto v, read_label<std::vector<HpkeKeyPair>>(
                          s, store_label::encryption_epoch_key_pairs,
                          epoch_key_digest(group_id, epoch, leaf_index),
                          [](JsonReader& r) { return read_list<HpkeKeyPair>(r, read_key_pair); }));
  if (!v) return std::vector<HpkeKeyPair>();
  return std::move(*v);
}

StoreResult delete_epoch_key_pairs(StorageProvider& s, ByteView group_id, uint64_t epoch,
                                   uint32_t leaf_index) {
  return delete_label(s, store_label::encryption_epoch_key_pairs,
                      epoch_key_digest(group_id, epoch, leaf_index));
}

StoreResult write_encryption_key_pair(StorageProvider& s, const HpkeKeyPair& pair) {
  return write_label(s, store_label::encryption_key_pair, encryption_key_digest(pair.public_key),
                     [&](JsonWriter& w) { write_key_pair(w, pair); });
}

Result<std::optional<HpkeKeyPair>, StorageAdapterError> read_encryption_key_pair(
    StorageProvider& s, ByteView public_key) {
  return read_label<HpkeKeyPair>(s, store_label::encryption_key_pair,
                                 encryption_key_digest(public_key), read_key_pair);
}

StoreResult delete_encryption_key_pair(StorageProvider& s, ByteView public_key) {
  return delete_label(s, store_label::encryption_key_pair, encryption_key_digest(public_key));
}

StoreResult write_key_package(StorageProvider& s, ByteView ref, const KeyPackageRecord& k) {
  return write_label(s, store_label::key_package, package_key_digest(ref), [&](JsonWriter& w) {
    w.begin_object();
    w.key("key_package").byte_array(tls_encode(k.key_package));
    w.key("private_init_key");
    write_vec(w, k.private_init_key.view());
    w.key("private_encryption_key");
    write_vec(w, k.private_encryption_key.view());
    w.end_object();
  });
}

Result<std::optional<KeyPackageRecord>, StorageAdapterError> read_key_package(StorageProvider& s,
                                                                              ByteView ref) {
  return read_label<KeyPackageRecord>(s, store_label::key_package, package_key_digest(ref),
                                      read_key_package_record);
}

StoreResult delete_key_package(StorageProvider& s, ByteView ref) {
  return delete_label(s, store_label::key_package, package_key_digest(ref));
}

StoreResult write_own_leaf_nodes(StorageProvider& s, ByteView group_id,
                                 const std::vector<LeafNode>& leaves) {
  return write_label(s, store_label::own_leaf_nodes, group_key_digest(group_id),
                     [&](JsonWriter& w) {
                       w.begin_array();
                       for (const auto& l : leaves) w.byte_array(tls_encode(l));
                       w.end_array();
                     });
}

Result<std::vector<LeafNode>, StorageAdapterError> read_own_leaf_nodes(StorageProvider& s,
                                                                       ByteView group_id) {
  BRENVIK_TRY(auto v,
              read_label<std::vector<LeafNode>>(
                  s, store_label::own_leaf_nodes, group_key_digest(group_id), [](JsonReader& r) {
                    return read_list<LeafNode>(
                        r, [](JsonReader& rr) { return read_tls<LeafNode>(rr, "leaf node"); });
                  }));
  if (!v) return std::vector<LeafNode>();
  return std::move(*v);
}

StoreResult delete_own_leaf_nodes(StorageProvider& s, ByteView group_id) {
  return delete_label(s, store_label::own_leaf_nodes, group_key_digest(group_id));
}

StoreResult write_queued_proposals(StorageProvider& s, ByteView group_id,
                                   const std::vector<QueuedProposal>& queue) {
  return write_label(s, store_label::queued_proposals, group_key_digest(group_id),
                     [&](JsonWriter& w) {
                       w.begin_array();
                       for (const auto& q : queue) {
                         w.begin_object();
                         w.key("proposal_ref").byte_array(q.proposal_ref);
                         w.key("proposal").byte_array(tls_encode(q.content));
                         w.end_object();
                       }
                       w.end_array();
                     });
}

Result<std::optional<std::vector<QueuedProposal>>, StorageAdapterError> read_queued_proposals(
    StorageProvider& s, ByteView group_id) {
  return read_label<std::vector<QueuedProposal>>(
      s, store_label::queued_proposals, group_key_digest(group_id),
      [](JsonReader& r) { return read_list<QueuedProposal>(r, read_queued_proposal); });
}

StoreResult delete_queued_proposals(StorageProvider& s, ByteView group_id) {
  return delete_label(s, store_label::queued_proposals, group_key_digest(group_id));
}

}  // namespace brenvik::rfc9420
