#include "rfc9420/stored_group.h"

#include <map>

#include "rfc9420/cipher_suite.h"

namespace brenvik::rfc9420 {
namespace {

Error state_error(std::string why) {
  return Error(ErrorCode::InvalidState, std::move(why));
}

Bytes to_bytes(ByteView v) {
  return Bytes(v.begin(), v.end());
}

EpochSecrets epoch_secrets_of(const EpochKeys& k) {
  EpochSecrets s;
  s.sender_data_secret = k.sender_data_secret;
  s.exporter_secret = k.exporter_secret;
  s.external_secret = k.external_secret;
  s.confirmation_key = k.confirmation_key;
  s.membership_key = k.membership_key;
  s.resumption_psk = k.resumption_psk;
  s.epoch_authenticator = k.epoch_authenticator;
  s.init_secret = k.init_secret;
  return s;
}

EpochKeys epoch_keys_of(const EpochSecrets& s) {
  EpochKeys k;
  k.sender_data_secret = s.sender_data_secret;
  k.exporter_secret = s.exporter_secret;
  k.external_secret = s.external_secret;
  k.confirmation_key = s.confirmation_key;
  k.membership_key = s.membership_key;
  k.resumption_psk = s.resumption_psk;
  k.epoch_authenticator = s.epoch_authenticator;
  k.init_secret = s.init_secret;
  return k;
}

// Public key of a non-blank node.
ByteView node_key(const PublicTree& tree, NodeIndex x) {
  if (tree_math::is_leaf(x)) return tree.leaf(tree_math::node_to_leaf(x))->encryption_key;
  return tree.parent_node(x)->encryption_key;
}

struct LockTable {
  std::mutex mu;
  std::map<std::pair<const void*, Bytes>, std::weak_ptr<std::mutex>> locks;
};

}  // namespace

Error storage_error(const StorageAdapterError& e) {
  return Error(
      e.kind() == StorageAdapterError::Kind::Storage ? ErrorCode::Storage : ErrorCode::InvalidState,
      e.message());
}

PersistedGroup to_persisted(const GroupMemberState& s) {
  PersistedGroup p;
  p.tree = s.tree;
  p.confirmation_tag = s.confirmation_tag;
  p.group_context = s.context;
  p.interim_transcript_hash = s.interim_transcript_hash;
  p.epoch_secrets = epoch_secrets_of(s.secrets);
  p.own_leaf_index = s.keys.own_leaf();
  p.message_secrets.max_epochs = 0;
  p.message_secrets.message_secrets.epoch = s.context.epoch;
  p.message_secrets.message_secrets.sender_data_secret = s.secrets.sender_data_secret;
  p.message_secrets.message_secrets.secret_tree = s.secret_tree;
  p.resumption_psk_store = ResumptionPskStore{};
  p.join_config.padding_size = s.config.padding_size;
  p.join_config.use_ratchet_tree_extension = s.config.use_ratchet_tree_extension;
  p.join_config.sender_ratchet_configuration = s.config.sender_ratchet;
  if (s.active)
    p.state = GroupOperational{};
  else
    p.state = GroupInactive{};
  return p;
}

std::vector<HpkeKeyPair> epoch_key_pairs(const GroupMemberState& s) {
  std::vector<HpkeKeyPair> out;
  for (const auto& [x, key] : s.keys.all())
    out.push_back({to_bytes(key.public_key()), crypto::SecretBytes(key.private_bytes().view())});
  return out;
}

Result<GroupMemberState, Error> from_persisted(const PersistedGroup& p,
                                               const std::vector<HpkeKeyPair>& key_pairs) {
  GroupMemberState s;
  const JoinConfig& jc = p.join_config;
  if (jc.wire_format_policy != WireFormatPolicy{} || jc.max_past_epochs != 0 ||
      jc.number_of_resumption_psks != 0)
    return Err(state_error("stored group uses a configuration this engine does not run"));
  s.config.padding_size = jc.padding_size;
  s.config.use_ratchet_tree_extension = jc.use_ratchet_tree_extension;
  s.config.sender_ratchet = jc.sender_ratchet_configuration;
  s.context = p.group_context;
  s.tree = p.tree;
  s.active = std::holds_alternative<GroupOperational>(p.state);
  if (std::holds_alternative<PendingCommit>(p.state))
    return Err(state_error("stored group holds a pending commit; this engine merges at once"));
  if (p.message_secrets.message_secrets.epoch != p.group_context.epoch)
    return Err(state_error("message secrets belong to another epoch"));
  s.secrets = epoch_keys_of(p.epoch_secrets);
  s.secret_tree = p.message_secrets.message_secrets.secret_tree;
  s.interim_transcript_hash = p.interim_transcript_hash;
  s.confirmation_tag = p.confirmation_tag;

  uint32_t own = p.own_leaf_index;
  s.keys = TreePrivateKeys(own);
  if (!s.active) return s;
  if (own >= s.tree.leaf_count() || !s.tree.leaf(own))
    return Err(state_error("own leaf is not in the stored tree"));
  if (s.secret_tree.leaf_count() != s.tree.leaf_count())
    return Err(state_error("secret tree and ratchet tree disagree on the leaf count"));
  std::vector<NodeIndex> candidates{tree_math::leaf_to_node(own)};
  for (NodeIndex x : tree_math::direct_path(tree_math::leaf_to_node(own), s.tree.leaf_count()))
    candidates.push_back(x);
  for (const HpkeKeyPair& kp : key_pairs) {
    auto key = crypto::X25519PrivateKey::from_bytes(kp.private_key.view());
    if (!key.ok()) return Err(state_error("stored key pair is malformed"));
    if (!std::equal(kp.public_key.begin(), kp.public_key.end(), key->public_key().begin(),
                    key->public_key().end()))
      return Err(state_error("stored key pair's halves do not match"));
    for (NodeIndex x : candidates)
      if (!s.tree.blank(x)) {
        ByteView k = node_key(s.tree, x);
        if (std::equal(k.begin(), k.end(), kp.public_key.begin(), kp.public_key.end()))
          s.keys.set(x, *key);
      }
  }
  if (!s.keys.find(tree_math::leaf_to_node(own)))
    return Err(state_error("the own leaf's private key is not stored"));
  return s;
}

std::shared_ptr<std::mutex> group_lock(const StorageProvider& storage, ByteView group_id) {
  static LockTable* table = new LockTable;  // never destroyed: used until exit
  std::lock_guard guard(table->mu);
  std::pair<const void*, Bytes> id{&storage, to_bytes(group_id)};
  if (auto existing = table->locks[id].lock()) return existing;
  // Drop entries nobody holds any more so the table follows the live groups.
  for (auto it = table->locks.begin(); it != table->locks.end();)
    it = it->second.expired() ? table->locks.erase(it) : std::next(it);
  auto mu = std::make_shared<std::mutex>();
  table->locks[id] = mu;
  return mu;
}

Result<std::optional<StoredGroup>, Error> StoredGroup::open(StorageProvider& storage,
                                                            ByteView group_id) {
  auto mu = group_lock(storage, group_id);
  std::unique_lock lock(*mu);
  auto loaded = load_group(storage, group_id);
  if (!loaded.ok()) return Err(storage_error(loaded.error()));
  if (!*loaded) return std::optional<StoredGroup>{};
  const PersistedGroup& p = (*loaded)->group;
  std::vector<HpkeKeyPair> pairs;
  if (std::holds_alternative<GroupOperational>(p.state)) {
    auto r = read_epoch_key_pairs(storage, group_id, p.group_context.epoch, p.own_leaf_index);
    if (!r.ok()) return Err(storage_error(r.error()));
    pairs = std::move(*r);
  }
  BRENVIK_TRY(GroupMemberState state, from_persisted(p, pairs));
  uint64_t epoch = state.context.epoch;
  return std::optional<StoredGroup>(
      StoredGroup(storage, std::move(mu), std::move(lock), Group(std::move(state)), epoch));
}

Result<void, Error> StoredGroup::store_full(const GroupMemberState& state,
                                            std::optional<uint64_t> previous_epoch) {
  ByteView id = state.context.group_id;
  uint32_t own = state.keys.own_leaf();
  if (state.active) {
    auto w = write_epoch_key_pairs(*storage_, id, state.context.epoch, own, epoch_key_pairs(state));
    if (!w.ok()) return Err(storage_error(w.error()));
  }
  auto st = store_group(*storage_, to_persisted(state));
  if (!st.ok()) return Err(storage_error(st.error()));
  if (previous_epoch) {
    // The epoch left behind: its keys must not outlive it (forward secrecy).
    auto d = delete_epoch_key_pairs(*storage_, id, *previous_epoch, own);
    if (!d.ok()) return Err(storage_error(d.error()));
    auto l = delete_own_leaf_nodes(*storage_, id);
    if (!l.ok()) return Err(storage_error(l.error()));
  }
  return {};
}

Result<StoredGroup, Error> StoredGroup::create(StorageProvider& storage, ByteView group_id,
                                               const CredentialWithKey& credential,
                                               const crypto::Ed25519PrivateKey& signer,
                                               uint64_t now, const GroupConfig& config) {
  auto mu = group_lock(storage, group_id);
  std::unique_lock lock(*mu);
  BRENVIK_TRY(Group g, Group::create(group_id, credential, signer, now, config));
  StoredGroup sg(storage, std::move(mu), std::move(lock), std::move(g), 0);
  BRENVIK_TRY_VOID(sg.store_full(sg.group_->snapshot(), std::nullopt));
  return sg;
}

Result<StoredGroup, Error> StoredGroup::join(StorageProvider& storage, StagedWelcome staged,
                                             ByteView key_package_ref) {
  Bytes id = staged.group_id();
  auto mu = group_lock(storage, id);
  std::unique_lock lock(*mu);
  BRENVIK_TRY(Group g, std::move(staged).into_group());
  uint64_t epoch = g.epoch();
  StoredGroup sg(storage, std::move(mu), std::move(lock), std::move(g), epoch);
  BRENVIK_TRY_VOID(sg.store_full(sg.group_->snapshot(), std::nullopt));
  // The key package is spent: its init key must not open another Welcome.
  auto d = delete_key_package(storage, key_package_ref);
  if (!d.ok()) return Err(storage_error(d.error()));
  return sg;
}

Result<void, Error> StoredGroup::save() {
  GroupMemberState s = group_->snapshot();
  if (s.context.epoch == saved_epoch_ && s.active) {
    auto w = write_message_secrets(*storage_, to_persisted(s));
    if (!w.ok()) return Err(storage_error(w.error()));
    return {};
  }
  BRENVIK_TRY_VOID(store_full(s, saved_epoch_));
  saved_epoch_ = s.context.epoch;
  return {};
}

Result<CommitOutput, Error> StoredGroup::add_members(std::span<const KeyPackage> key_packages,
                                                     const crypto::Ed25519PrivateKey& signer,
                                                     uint64_t now) {
  BRENVIK_TRY(CommitOutput out, group_->add_members(key_packages, signer, now));
  BRENVIK_TRY_VOID(save());
  return out;
}

Result<CommitOutput, Error> StoredGroup::remove_members(std::span<const uint32_t> leaf_indices,
                                                        const crypto::Ed25519PrivateKey& signer) {
  BRENVIK_TRY(CommitOutput out, group_->remove_members(leaf_indices, signer));
  BRENVIK_TRY_VOID(save());
  return out;
}

Result<CommitOutput, Error> StoredGroup::self_update(const crypto::Ed25519PrivateKey& signer) {
  BRENVIK_TRY(CommitOutput out, group_->self_update(signer));
  BRENVIK_TRY_VOID(save());
  return out;
}

Result<MlsMessage, Error> StoredGroup::create_application_message(
    ByteView data, const crypto::Ed25519PrivateKey& signer, ByteView authenticated_data) {
  BRENVIK_TRY(MlsMessage m, group_->create_application_message(data, signer, authenticated_data));
  BRENVIK_TRY_VOID(save());
  return m;
}

Result<ProcessedMessage, Error> StoredGroup::process_message(const MlsMessage& message,
                                                             uint64_t now) {
  BRENVIK_TRY(ProcessedMessage p, group_->process_message(message, now));
  BRENVIK_TRY_VOID(save());
  return p;
}

Result<void, Error> StoredGroup::merge_staged_commit(StagedCommit staged) {
  BRENVIK_TRY_VOID(group_->merge_staged_commit(std::move(staged)));
  return save();
}

Result<KeyPackageWithKeys, Error> generate_stored_key_package(
    StorageProvider& storage, const CredentialWithKey& credential,
    const crypto::Ed25519PrivateKey& signer, uint64_t now) {
  BRENVIK_TRY(KeyPackageWithKeys kp, build_key_package(credential, signer, now));
  KeyPackageRecord rec{kp.key_package, crypto::SecretBytes(kp.init_key.private_bytes().view()),
                       crypto::SecretBytes(kp.encryption_key.private_bytes().view())};
  auto w = write_key_package(storage, make_key_package_ref(kp.key_package), rec);
  if (!w.ok()) return Err(storage_error(w.error()));
  return kp;
}

Result<StagedStoredWelcome, Error> stage_stored_welcome(StorageProvider& storage,
                                                        const Welcome& welcome,
                                                        const WelcomeOptions& options) {
  for (const EncryptedGroupSecrets& egs : welcome.secrets) {
    auto rec = read_key_package(storage, egs.new_member);
    if (!rec.ok()) return Err(storage_error(rec.error()));
    if (!*rec) continue;
    auto init = crypto::X25519PrivateKey::from_bytes((*rec)->private_init_key.view());
    auto enc = crypto::X25519PrivateKey::from_bytes((*rec)->private_encryption_key.view());
    if (!init.ok() || !enc.ok()) return Err(state_error("stored key package keys are malformed"));
    KeyPackageWithKeys own{(*rec)->key_package, std::move(*init), std::move(*enc)};
    BRENVIK_TRY(StagedWelcome staged, stage_welcome(welcome, own, options));
    return StagedStoredWelcome{std::move(staged), egs.new_member};
  }
  return Err(Error(ErrorCode::InvalidWelcome, "no key package of this client is a recipient"));
}

Result<void, Error> delete_stored_group(StorageProvider& storage, ByteView group_id) {
  auto mu = group_lock(storage, group_id);
  std::lock_guard lock(*mu);
  auto loaded = load_group(storage, group_id);
  uint64_t epoch = 0;
  uint32_t own = 0;
  if (loaded.ok() && *loaded) {
    epoch = (*loaded)->group.group_context.epoch;
    own = (*loaded)->group.own_leaf_index;
  }
  auto d = delete_group(storage, group_id, epoch, own);
  if (!d.ok()) return Err(storage_error(d.error()));
  return {};
}

}  // namespace brenvik::rfc9420
