#include "rfc9420/group_store.h"

#include <array>
#include <bit>

#include "crypto/sha256.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/tree_math.h"
#include "util/hex.h"
#include "util/json_reader.h"
#include "util/json_record.h"
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

// ---------------------------------------------------------------------------
// Codecs of the stored fields that have their own form.

// A secret as a byte array; read through a wiped buffer.
struct SecretCodec {
  void write(JsonWriter& w, const crypto::SecretBytes& s) const { w.byte_array(s.view()); }
  Status read(JsonReader& r, crypto::SecretBytes& out) const {
    BRENVIK_TRY(out, read_secret(r));
    return {};
  }
};

// A secret of exactly kNh bytes, or empty.
struct HashSecretCodec : SecretCodec {
  Status read(JsonReader& r, crypto::SecretBytes& out) const {
    BRENVIK_TRY(out, read_hash_secret(r));
    return {};
  }
};

// A hash-sized secret where an empty one is written as null.
struct HashSecretOrNullCodec {
  void write(JsonWriter& w, const crypto::SecretBytes& s) const { write_secret_or_null(w, s); }
  Status read(JsonReader& r, crypto::SecretBytes& out) const {
    BRENVIK_TRY(bool blank, r.peek_null());
    if (blank) {
      out = crypto::SecretBytes();
      return r.read_null();
    }
    BRENVIK_TRY(out, read_hash_secret(r));
    return {};
  }
};

// Bytes and secrets wrapped as {"vec":[...]}.
struct VecCodec {
  void write(JsonWriter& w, const Bytes& b) const { write_vec(w, b); }
  Status read(JsonReader& r, Bytes& out) const {
    BRENVIK_TRY(out, read_vec(r));
    return {};
  }
};
struct SecretVecCodec {
  void write(JsonWriter& w, const crypto::SecretBytes& s) const { write_vec(w, s.view()); }
  Status read(JsonReader& r, crypto::SecretBytes& out) const {
    BRENVIK_TRY(out, read_secret_vec(r));
    return {};
  }
};

// A value kept as its TLS encoding inside a byte array; `what` names it in
// the reader's refusal.
template <typename T>
struct TlsBytesCodec {
  std::string_view what;
  void write(JsonWriter& w, const T& v) const { w.byte_array(tls_encode(v)); }
  Status read(JsonReader& r, T& out) const {
    BRENVIK_TRY(out, read_tls<T>(r, what));
    return {};
  }
};

// Only version 1.0 is accepted back.
struct ProtocolVersionCodec {
  void write(JsonWriter& w, ProtocolVersion v) const { w.u64(uint64_t(v)); }
  Status read(JsonReader& r, ProtocolVersion& out) const {
    BRENVIK_TRY(uint16_t v, r.read_u16());
    if (v != uint16_t(ProtocolVersion::mls10))
      return Err(r.error("unsupported protocol version " + std::to_string(v)));
    out = ProtocolVersion::mls10;
    return {};
  }
};

// The secret tree through its state; the state's consistency is checked
// where it is read.
struct SecretTreeCodec {
  void write(JsonWriter& w, const SecretTree& tree) const { write_json_record(w, tree.state()); }
  Status read(JsonReader& r, SecretTree& out) const {
    BRENVIK_TRY(SecretTreeState s, read_json_record<SecretTreeState>(r));
    auto tree = SecretTree::from_state(std::move(s));
    if (!tree.ok()) return Err(r.error(tree.error().detail()));
    out = std::move(tree).value();
    return {};
  }
};

constexpr NamedEnumJsonCodec<OutgoingWireFormatPolicy, 2> kOutgoingCodec{
    "enum OutgoingWireFormatPolicy", {"AlwaysPlaintext", "AlwaysCiphertext"}};
constexpr NamedEnumJsonCodec<IncomingWireFormatPolicy, 3> kIncomingCodec{
    "enum IncomingWireFormatPolicy", {"AlwaysPlaintext", "AlwaysCiphertext", "Mixed"}};

}  // namespace
}  // namespace brenvik::rfc9420

// ---------------------------------------------------------------------------
// The field list of every stored record: the writers and readers below are
// derived from these.

namespace brenvik {

namespace gs = rfc9420;

template <>
struct JsonRecord<gs::ParentNode> {
  static constexpr std::string_view kName = "struct ParentNode";
  static constexpr auto fields() {
    using T = gs::ParentNode;
    return std::tuple{json_field("encryption_key", &T::encryption_key),
                      json_field("parent_hash", &T::parent_hash),
                      json_field("unmerged_leaves", &T::unmerged_leaves)};
  }
};

template <>
struct JsonRecord<gs::Extension> {
  static constexpr std::string_view kName = "struct Extension";
  static constexpr auto fields() {
    using T = gs::Extension;
    return std::tuple{json_field("extension_type", &T::extension_type),
                      json_field("extension_data", &T::extension_data)};
  }
};

template <>
struct JsonRecord<gs::GroupContext> {
  static constexpr std::string_view kName = "struct GroupContext";
  static constexpr auto fields() {
    using T = gs::GroupContext;
    return std::tuple{
        json_field("protocol_version", &T::version, gs::ProtocolVersionCodec{}),
        json_field("cipher_suite", &T::cipher_suite),
        json_field("group_id", &T::group_id),
        json_field("epoch", &T::epoch),
        json_field("tree_hash", &T::tree_hash),
        json_field("confirmed_transcript_hash", &T::confirmed_transcript_hash),
        json_field("extensions", &T::extensions, json_array(JsonRecordCodec<gs::Extension>{})),
    };
  }
};

template <>
struct JsonRecord<gs::SenderRatchetConfig> {
  static constexpr std::string_view kName = "struct SenderRatchetConfiguration";
  static constexpr auto fields() {
    using T = gs::SenderRatchetConfig;
    return std::tuple{json_field("out_of_order_tolerance", &T::out_of_order_tolerance),
                      json_field("maximum_forward_distance", &T::maximum_forward_distance)};
  }
};

template <>
struct JsonRecord<gs::RatchetKey> {
  static constexpr std::string_view kName = "struct RatchetKey";
  static constexpr auto fields() {
    using T = gs::RatchetKey;
    return std::tuple{json_field("generation", &T::generation),
                      json_field("key", &T::key, gs::SecretCodec{}),
                      json_field("nonce", &T::nonce, gs::SecretCodec{})};
  }
};

template <>
struct JsonRecord<gs::SecretTreeState::Ratchet> {
  static constexpr std::string_view kName = "struct SenderRatchet";
  static constexpr auto fields() {
    using T = gs::SecretTreeState::Ratchet;
    return std::tuple{
        json_field("secret", &T::secret, gs::HashSecretCodec{}),
        json_field("next", &T::next),
        json_field("skipped", &T::skipped, json_array(JsonRecordCodec<gs::RatchetKey>{})),
    };
  }
};

template <>
struct JsonRecord<gs::SecretTreeState::Leaf> {
  static constexpr std::string_view kName = "struct LeafRatchets";
  static constexpr auto fields() {
    using T = gs::SecretTreeState::Leaf;
    constexpr JsonRecordCodec<gs::SecretTreeState::Ratchet> ratchet{};
    return std::tuple{json_field("handshake", &T::handshake, ratchet),
                      json_field("application", &T::application, ratchet)};
  }
};

template <>
struct JsonRecord<gs::SecretTreeState> {
  static constexpr std::string_view kName = "struct SecretTree";
  static constexpr auto fields() {
    using T = gs::SecretTreeState;
    return std::tuple{
        json_field("leaf_count", &T::leaf_count),
        json_field("sender_ratchet_configuration", &T::config,
                   JsonRecordCodec<gs::SenderRatchetConfig>{}),
        json_field("nodes", &T::node_secrets, json_array(gs::HashSecretOrNullCodec{})),
        json_field("ratchets", &T::leaves,
                   json_array(json_nullable(JsonRecordCodec<gs::SecretTreeState::Leaf>{}))),
    };
  }
};

template <>
struct JsonRecord<gs::MessageSecrets> {
  static constexpr std::string_view kName = "struct MessageSecrets";
  static constexpr auto fields() {
    using T = gs::MessageSecrets;
    return std::tuple{
        json_field("epoch", &T::epoch),
        json_field("sender_data_secret", &T::sender_data_secret, gs::HashSecretCodec{}),
        json_field("secret_tree", &T::secret_tree, gs::SecretTreeCodec{})};
  }
};

template <>
struct JsonRecord<gs::MessageSecretsStore> {
  static constexpr std::string_view kName = "struct MessageSecretsStore";
  static constexpr auto fields() {
    using T = gs::MessageSecretsStore;
    constexpr JsonRecordCodec<gs::MessageSecrets> one{};
    return std::tuple{json_field("max_epochs", &T::max_epochs),
                      json_field("past_epoch_trees", &T::past_epoch_trees, json_array(one)),
                      json_field("message_secrets", &T::message_secrets, one)};
  }
};

template <>
struct JsonRecord<gs::StoredResumptionPsk> {
  static constexpr std::string_view kName = "struct ResumptionPsk";
  static constexpr auto fields() {
    using T = gs::StoredResumptionPsk;
    return std::tuple{json_field("epoch", &T::epoch),
                      json_field("secret", &T::secret, gs::HashSecretCodec{})};
  }
};

template <>
struct JsonRecord<gs::ResumptionPskStore> {
  static constexpr std::string_view kName = "struct ResumptionPskStore";
  static constexpr auto fields() {
    using T = gs::ResumptionPskStore;
    return std::tuple{
        json_field("max_number_of_secrets", &T::max_number_of_secrets),
        json_field("resumption_psk", &T::resumption_psk,
                   json_array(JsonRecordCodec<gs::StoredResumptionPsk>{})),
        json_field("cursor", &T::cursor),
    };
  }
};

template <>
struct JsonRecord<gs::WireFormatPolicy> {
  static constexpr std::string_view kName = "struct WireFormatPolicy";
  static constexpr auto fields() {
    using T = gs::WireFormatPolicy;
    return std::tuple{json_field("outgoing", &T::outgoing, gs::kOutgoingCodec),
                      json_field("incoming", &T::incoming, gs::kIncomingCodec)};
  }
};

template <>
struct JsonRecord<gs::JoinConfig> {
  static constexpr std::string_view kName = "struct MlsGroupJoinConfig";
  static constexpr auto fields() {
    using T = gs::JoinConfig;
    return std::tuple{
        json_field("wire_format_policy", &T::wire_format_policy,
                   JsonRecordCodec<gs::WireFormatPolicy>{}),
        json_field("padding_size", &T::padding_size),
        json_field("max_past_epochs", &T::max_past_epochs),
        json_field("number_of_resumption_psks", &T::number_of_resumption_psks),
        json_field("use_ratchet_tree_extension", &T::use_ratchet_tree_extension),
        json_field("sender_ratchet_configuration", &T::sender_ratchet_configuration,
                   JsonRecordCodec<gs::SenderRatchetConfig>{}),
    };
  }
};

template <>
struct JsonRecord<gs::PendingCommit> {
  static constexpr std::string_view kName = "struct PendingCommit";
  static constexpr auto fields() {
    using T = gs::PendingCommit;
    return std::tuple{json_field("commit", &T::commit,
                                 gs::TlsBytesCodec<gs::AuthenticatedContent>{"pending commit"}),
                      json_field("path_secret", &T::path_secret, gs::HashSecretCodec{})};
  }
};

template <>
struct JsonRecord<gs::HpkeKeyPair> {
  static constexpr std::string_view kName = "struct HpkeKeyPair";
  static constexpr auto fields() {
    using T = gs::HpkeKeyPair;
    return std::tuple{json_field("public_key", &T::public_key, gs::VecCodec{}),
                      json_field("private_key", &T::private_key, gs::SecretVecCodec{})};
  }
};

template <>
struct JsonRecord<gs::QueuedProposal> {
  static constexpr std::string_view kName = "struct QueuedProposal";
  static constexpr auto fields() {
    using T = gs::QueuedProposal;
    return std::tuple{json_field("proposal_ref", &T::proposal_ref),
                      json_field("proposal", &T::content,
                                 gs::TlsBytesCodec<gs::AuthenticatedContent>{"queued proposal"})};
  }
};

template <>
struct JsonRecord<gs::KeyPackageRecord> {
  static constexpr std::string_view kName = "struct KeyPackageBundle";
  static constexpr auto fields() {
    using T = gs::KeyPackageRecord;
    return std::tuple{
        json_field("key_package", &T::key_package,
                   gs::TlsBytesCodec<gs::KeyPackage>{"key package"}),
        json_field("private_init_key", &T::private_init_key, gs::SecretVecCodec{}),
        json_field("private_encryption_key", &T::private_encryption_key, gs::SecretVecCodec{})};
  }
};

}  // namespace brenvik

namespace brenvik::rfc9420 {
namespace {

// ---------------------------------------------------------------------------
// Writing and reading the values whose form is their own.

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
      write_json_record(w, *p);
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

void write_group_state_value(JsonWriter& w, const GroupState& s) {
  std::visit(
      [&](const auto& v) {
        using T = std::remove_cvref_t<decltype(v)>;
        if constexpr (std::is_same_v<T, GroupOperational>) {
          w.str("Operational");
        } else if constexpr (std::is_same_v<T, GroupInactive>) {
          w.str("Inactive");
        } else {
          w.begin_object().key("PendingCommit");
          write_json_record(w, v);
          w.end_object();
        }
      },
      s);
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
    BRENVIK_TRY(ParentNode p, read_json_record<ParentNode>(r));
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

Read<MessageSecretsStore> read_message_secrets_value(JsonReader& r) {
  BRENVIK_TRY(MessageSecretsStore m, read_json_record<MessageSecretsStore>(r));
  if (m.past_epoch_trees.size() > m.max_epochs)
    return Err(r.error("more past epochs kept than max_epochs allows"));
  return m;
}

Read<ResumptionPskStore> read_psk_store(JsonReader& r) {
  BRENVIK_TRY(ResumptionPskStore s, read_json_record<ResumptionPskStore>(r));
  if (s.resumption_psk.size() > s.max_number_of_secrets)
    return Err(r.error("more resumption PSKs than max_number_of_secrets allows"));
  if (s.cursor > s.max_number_of_secrets ||
      (s.max_number_of_secrets > 0 && s.cursor == s.max_number_of_secrets))
    return Err(r.error("resumption PSK cursor outside the ring"));
  return s;
}

constexpr std::array<std::string_view, 3> kGroupStateNames{"Operational", "Inactive",
                                                           "PendingCommit"};

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
    BRENVIK_TRY(PendingCommit p, read_json_record<PendingCommit>(r));
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

// The member's own leaf nodes, each as its TLS encoding.
constexpr auto kOwnLeavesCodec = json_array(TlsBytesCodec<LeafNode>{"leaf node"});

// One stored value by the field list of its type (a record, a list of
// records, or a plain number).
template <typename T>
Read<T> read_json(JsonReader& r) {
  T v{};
  if constexpr (std::is_integral_v<T>) {
    BRENVIK_TRY_VOID(JsonCodec<T>::read(r, v));
  } else if constexpr (requires { typename T::value_type; }) {
    BRENVIK_TRY_VOID(json_array(JsonRecordCodec<typename T::value_type>{}).read(r, v));
  } else {
    BRENVIK_TRY_VOID(read_json_record(r, v));
  }
  return v;
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
                               [&](JsonWriter& w) { write_json_record(w, g.group_context); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::interim_transcript_hash, group_key_digest(id),
                               [&](JsonWriter& w) { w.byte_array(g.interim_transcript_hash); }));
  BRENVIK_TRY_VOID(
      write_label(s, store_label::group_epoch_secrets, group_key_digest(id),
                  [&](JsonWriter& w) { write_epoch_secrets(w, epoch, g.epoch_secrets); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::own_leaf_index, group_key_digest(id),
                               [&](JsonWriter& w) { w.u64(g.own_leaf_index); }));
  BRENVIK_TRY_VOID(write_message_secrets(s, g));
  BRENVIK_TRY_VOID(
      write_label(s, store_label::resumption_psk_store, group_key_digest(id),
                  [&](JsonWriter& w) { write_json_record(w, g.resumption_psk_store); }));
  BRENVIK_TRY_VOID(write_label(s, store_label::join_config, group_key_digest(id),
                               [&](JsonWriter& w) { write_json_record(w, g.join_config); }));
  return write_group_state(s, g);
}

StoreResult write_message_secrets(StorageProvider& s, const PersistedGroup& g) {
  return write_message_secrets(s, g.group_id(), g.message_secrets);
}

StoreResult write_message_secrets(StorageProvider& s, ByteView group_id,
                                  const MessageSecretsStore& m) {
  return write_label(s, store_label::message_secrets, group_key_digest(group_id),
                     [&](JsonWriter& w) { write_json_record(w, m); });
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
  BRENVIK_TRY(auto context, read_label<GroupContext>(s, store_label::group_context, key,
                                                     read_json<GroupContext>));
  BRENVIK_TRY(auto own_leaf,
              read_label<uint32_t>(s, store_label::own_leaf_index, key, read_json<uint32_t>));
  BRENVIK_TRY(auto messages, read_label<MessageSecretsStore>(s, store_label::message_secrets, key,
                                                             read_message_secrets_value));
  auto read_bytes = [](JsonReader& r) { return r.read_byte_array(); };
  BRENVIK_TRY(auto interim,
              read_label<Bytes>(s, store_label::interim_transcript_hash, key, read_bytes));
  BRENVIK_TRY(auto tag, read_label<Bytes>(s, store_label::confirmation_tag, key, read_bytes));
  BRENVIK_TRY(auto psks, read_label<ResumptionPskStore>(s, store_label::resumption_psk_store, key,
                                                        read_psk_store));
  BRENVIK_TRY(auto config,
              read_label<JoinConfig>(s, store_label::join_config, key, read_json<JoinConfig>));
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
                       for (const auto& p : pairs) write_json_record(w, p);
                       w.end_array();
                     });
}

Result<std::vector<HpkeKeyPair>, StorageAdapterError> read_epoch_key_pairs(StorageProvider& s,
                                                                           ByteView group_id,
                                                                           uint64_t epoch,
                                                                           uint32_t leaf_index) {
  BRENVIK_TRY(auto v,
              read_label<std::vector<HpkeKeyPair>>(s, store_label::encryption_epoch_key_pairs,
                                                   epoch_key_digest(group_id, epoch, leaf_index),
                                                   read_json<std::vector<HpkeKeyPair>>));
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
                     [&](JsonWriter& w) { write_json_record(w, pair); });
}

Result<std::optional<HpkeKeyPair>, StorageAdapterError> read_encryption_key_pair(
    StorageProvider& s, ByteView public_key) {
  return read_label<HpkeKeyPair>(s, store_label::encryption_key_pair,
                                 encryption_key_digest(public_key), read_json<HpkeKeyPair>);
}

StoreResult delete_encryption_key_pair(StorageProvider& s, ByteView public_key) {
  return delete_label(s, store_label::encryption_key_pair, encryption_key_digest(public_key));
}

StoreResult write_key_package(StorageProvider& s, ByteView ref, const KeyPackageRecord& k) {
  return write_label(s, store_label::key_package, package_key_digest(ref),
                     [&](JsonWriter& w) { write_json_record(w, k); });
}

Result<std::optional<KeyPackageRecord>, StorageAdapterError> read_key_package(StorageProvider& s,
                                                                              ByteView ref) {
  return read_label<KeyPackageRecord>(s, store_label::key_package, package_key_digest(ref),
                                      read_json<KeyPackageRecord>);
}

StoreResult delete_key_package(StorageProvider& s, ByteView ref) {
  return delete_label(s, store_label::key_package, package_key_digest(ref));
}

StoreResult write_own_leaf_nodes(StorageProvider& s, ByteView group_id,
                                 const std::vector<LeafNode>& leaves) {
  return write_label(s, store_label::own_leaf_nodes, group_key_digest(group_id),
                     [&](JsonWriter& w) { kOwnLeavesCodec.write(w, leaves); });
}

Result<std::vector<LeafNode>, StorageAdapterError> read_own_leaf_nodes(StorageProvider& s,
                                                                       ByteView group_id) {
  BRENVIK_TRY(auto v, read_label<std::vector<LeafNode>>(
                          s, store_label::own_leaf_nodes, group_key_digest(group_id),
                          [](JsonReader& r) -> Read<std::vector<LeafNode>> {
                            std::vector<LeafNode> leaves;
                            BRENVIK_TRY_VOID(kOwnLeavesCodec.read(r, leaves));
                            return leaves;
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
                       for (const auto& q : queue) write_json_record(w, q);
                       w.end_array();
                     });
}

Result<std::optional<std::vector<QueuedProposal>>, StorageAdapterError> read_queued_proposals(
    StorageProvider& s, ByteView group_id) {
  return read_label<std::vector<QueuedProposal>>(s, store_label::queued_proposals,
                                                 group_key_digest(group_id),
                                                 read_json<std::vector<QueuedProposal>>);
}

StoreResult delete_queued_proposals(StorageProvider& s, ByteView group_id) {
  return delete_label(s, store_label::queued_proposals, group_key_digest(group_id));
}

}  // namespace brenvik::rfc9420
