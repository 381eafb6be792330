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

// The ring of resumption PSKs as stored: oldest first, the cursor on the
// slot the next epoch overwrites (the oldest once the ring is full).
ResumptionPskStore resumption_store_of(const GroupMemberState& s) {
  ResumptionPskStore r;
  r.max_number_of_secrets = s.config.number_of_resumption_psks;
  for (const EpochResumptionPsk& e : s.resumption_psks)
    r.resumption_psk.push_back({e.epoch, e.secret});
  r.cursor = r.max_number_of_secrets == 0
                 ? 0
                 : uint32_t(r.resumption_psk.size() % r.max_number_of_secrets);
  return r;
}

Result<std::vector<EpochResumptionPsk>, Error> resumption_ring_of(const ResumptionPskStore& r,
                                                                  const JoinConfig& jc) {
  const auto& v = r.resumption_psk;
  const bool full = !v.empty() && v.size() == r.max_number_of_secrets;
  if (r.max_number_of_secrets != jc.number_of_resumption_psks ||
      v.size() > r.max_number_of_secrets || (full ? r.cursor >= v.size() : r.cursor != v.size()))
    return Err(state_error("stored resumption PSKs do not match the group's configuration"));
  std::vector<EpochResumptionPsk> out;
  // A full ring starts at the cursor; a partial one is in order.
  const size_t start = full ? r.cursor : 0;
  for (size_t i = 0; i < v.size(); ++i) {
    const StoredResumptionPsk& e = v[(start + i) % v.size()];
    out.push_back({e.epoch, e.secret});
  }
  return out;
}

struct LockTable {
  std::mutex mu;
  std::map<std::pair<const void*, Bytes>, std::weak_ptr<std::mutex>> locks;
};

// ---------------------------------------------------------------------------
// Decoded groups kept between operations.
//
// Decoding a group is most of the cost of a message: the JSON of a dozen
// labels, and a scalar multiplication for every stored key pair to check
// its halves. So the last decoded state of a group is kept together with
// the exact bytes it was decoded from. An open still makes every load call
// of a group load, in the same order; only when each answer is byte for
// byte the one remembered is the remembered state used. Anything written
// behind our back (another device on a shared store, a restored backup, a
// damaged value) makes some answer differ, and the group is decoded from
// what storage holds, with the errors a plain load gives.

// One load call and what storage answered.
struct SeenLoad {
  std::string type;
  std::string key;
  std::optional<StorageFailure> failure;
  std::optional<Bytes> value;

  SeenLoad(std::string_view t, std::string k) : type(t), key(std::move(k)) {}
  SeenLoad(const SeenLoad&) = default;
  SeenLoad(SeenLoad&&) noexcept = default;
  SeenLoad& operator=(const SeenLoad&) = default;
  SeenLoad& operator=(SeenLoad&&) noexcept = default;
  // Stored values carry secrets.
  ~SeenLoad() {
    if (value) crypto::secure_wipe(value->data(), value->size());
  }

  bool same_answer(const SeenLoad& o) const {
    return !failure && !o.failure && type == o.type && key == o.key && value == o.value;
  }
  Result<std::optional<Bytes>, StorageFailure> answer() const {
    if (failure) return Err(*failure);
    return value;
  }
};

SeenLoad load_once(StorageProvider& s, std::string_view type, const std::string& key) {
  SeenLoad l(type, key);
  auto r = s.load(type, key);
  if (!r.ok())
    l.failure = std::move(r).error();
  else
    l.value = std::move(*r);
  return l;
}

// Answers loads from a list of loads already made, as long as they are
// asked for in the same order; every other call goes to the storage. Keeps
// every load it answered, so that a decode can be remembered with its bytes.
class ReplayingStorage final : public StorageProvider {
 public:
  ReplayingStorage(StorageProvider& real, std::vector<SeenLoad> made)
      : real_(real), made_(std::move(made)) {}

  Result<void, StorageFailure> store(std::string_view type, std::string_view key,
                                     ByteView value) override {
    return real_.store(type, key, value);
  }
  Result<std::optional<Bytes>, StorageFailure> load(std::string_view type,
                                                    std::string_view key) override {
    if (next_ < made_.size() && made_[next_].type == type && made_[next_].key == key) {
      seen_.push_back(made_[next_++]);
      return seen_.back().answer();
    }
    next_ = made_.size();
    seen_.push_back(load_once(real_, type, std::string(key)));
    return seen_.back().answer();
  }
  Result<void, StorageFailure> delete_(std::string_view type, std::string_view key) override {
    return real_.delete_(type, key);
  }

  std::vector<SeenLoad> take_seen() { return std::move(seen_); }

 private:
  StorageProvider& real_;
  std::vector<SeenLoad> made_;
  size_t next_ = 0;
  std::vector<SeenLoad> seen_;
};

// Passes every call on and keeps the bytes of the last store.
class StoreRecorder final : public StorageProvider {
 public:
  explicit StoreRecorder(StorageProvider& real) : real_(real) {}
  ~StoreRecorder() override { crypto::secure_wipe(stored_.data(), stored_.size()); }

  Result<void, StorageFailure> store(std::string_view type, std::string_view key,
                                     ByteView value) override {
    crypto::secure_wipe(stored_.data(), stored_.size());
    stored_.assign(value.begin(), value.end());
    return real_.store(type, key, value);
  }
  Result<std::optional<Bytes>, StorageFailure> load(std::string_view type,
                                                    std::string_view key) override {
    return real_.load(type, key);
  }
  Result<void, StorageFailure> delete_(std::string_view type, std::string_view key) override {
    return real_.delete_(type, key);
  }
  const Bytes& stored() const { return stored_; }

 private:
  StorageProvider& real_;
  Bytes stored_;
};

struct DecodedGroup {
  std::vector<SeenLoad> loads;  // the group load's, then the key pairs' when read
  GroupMemberState state;       // what those answers decode to
  uint64_t last_use = 0;
};

// One entry per (storage, group id). An entry is read and changed only by
// the holder of that group's lock; the table itself has its own mutex.
class DecodedGroups {
 public:
  std::shared_ptr<DecodedGroup> find(const StorageProvider& s, ByteView id) {
    std::lock_guard guard(mu_);
    auto it = entries_.find(key_of(s, id));
    if (it == entries_.end()) return nullptr;
    it->second->last_use = ++clock_;
    return it->second;
  }
  void put(const StorageProvider& s, ByteView id, std::shared_ptr<DecodedGroup> g) {
    std::lock_guard guard(mu_);
    g->last_use = ++clock_;
    entries_[key_of(s, id)] = std::move(g);
    if (entries_.size() <= kMaxGroups) return;
    auto oldest = entries_.begin();
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->second->last_use < oldest->second->last_use) oldest = it;
    entries_.erase(oldest);
  }
  void erase(const StorageProvider& s, ByteView id) {
    std::lock_guard guard(mu_);
    entries_.erase(key_of(s, id));
  }

 private:
  static constexpr size_t kMaxGroups = 64;
  static std::pair<const void*, Bytes> key_of(const StorageProvider& s, ByteView id) {
    return {&s, to_bytes(id)};
  }
  std::mutex mu_;
  std::map<std::pair<const void*, Bytes>, std::shared_ptr<DecodedGroup>> entries_;
  uint64_t clock_ = 0;
};

DecodedGroups& decoded_groups() {
  static DecodedGroups* table = new DecodedGroups;  // never destroyed: used until exit
  return *table;
}

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
  p.resumption_psk_store = resumption_store_of(s);
  p.join_config.wire_format_policy.incoming = s.config.incoming;
  p.join_config.number_of_resumption_psks = s.config.number_of_resumption_psks;
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
  if (jc.wire_format_policy.outgoing != OutgoingWireFormatPolicy::AlwaysCiphertext ||
      jc.max_past_epochs != 0)
    return Err(state_error("stored group uses a configuration this engine does not run"));
  s.config.incoming = jc.wire_format_policy.incoming;
  s.config.number_of_resumption_psks = jc.number_of_resumption_psks;
  BRENVIK_TRY(s.resumption_psks, resumption_ring_of(p.resumption_psk_store, jc));
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

HeldGroupLock lock_group(const StorageProvider& storage, ByteView group_id) {
  HeldGroupLock held{group_lock(storage, group_id), {}};
  held.lock = std::unique_lock<std::mutex>(*held.mu);
  return held;
}

HeldGroupLock StoredGroup::release() && {
  group_.reset();
  return HeldGroupLock{std::move(mu_), std::move(lock_)};
}

Result<std::optional<StoredGroup>, Error> StoredGroup::open(StorageProvider& storage,
                                                            ByteView group_id) {
  auto mu = group_lock(storage, group_id);
  std::unique_lock lock(*mu);
  std::vector<SeenLoad> made;
  if (auto known = decoded_groups().find(storage, group_id)) {
    bool same = true;
    for (const SeenLoad& want : known->loads) {
      made.push_back(load_once(storage, want.type, want.key));
      if (!made.back().same_answer(want)) {
        same = false;
        break;
      }
    }
    if (same) {
      uint64_t epoch = known->state.context.epoch;
      size_t kept = known->state.proposals.size();
      StoredGroup sg(storage, std::move(mu), std::move(lock), Group(GroupMemberState(known->state)),
                     epoch);
      sg.saved_proposals_ = kept;
      return std::optional<StoredGroup>(std::move(sg));
    }
  }
  // Decode what storage holds. The loads made above are answered again
  // from memory rather than repeated, so the calls are those of one load.
  decoded_groups().erase(storage, group_id);
  ReplayingStorage replay(storage, std::move(made));
  auto loaded = load_group(replay, group_id);
  if (!loaded.ok()) return Err(storage_error(loaded.error()));
  if (!*loaded) return std::optional<StoredGroup>{};
  const PersistedGroup& p = (*loaded)->group;
  std::vector<HpkeKeyPair> pairs;
  if (std::holds_alternative<GroupOperational>(p.state)) {
    auto r = read_epoch_key_pairs(replay, group_id, p.group_context.epoch, p.own_leaf_index);
    if (!r.ok()) return Err(storage_error(r.error()));
    pairs = std::move(*r);
  }
  BRENVIK_TRY(GroupMemberState state, from_persisted(p, pairs));
  if (const auto& queued = (*loaded)->queued_proposals) {
    // A stored queue (even an empty one) means the group keeps proposals.
    state.config.keep_proposals = true;
    for (const QueuedProposal& q : *queued) {
      const FramedContent& fc = q.content.content;
      // A queue left from an earlier epoch (a crash between the group's
      // write and the queue's) is simply out of date.
      if (fc.epoch != state.context.epoch) continue;
      if (fc.content_type() != ContentType::proposal || !fc.sender.leaf_index() ||
          make_proposal_ref(tls_encode(q.content)) != q.proposal_ref)
        return Err(state_error("a queued proposal does not match its reference"));
      state.proposals.push_back({q.proposal_ref, q.content});
    }
  }
  auto decoded = std::make_shared<DecodedGroup>();
  decoded->loads = replay.take_seen();
  decoded->state = state;
  decoded_groups().put(storage, group_id, std::move(decoded));
  uint64_t epoch = state.context.epoch;
  size_t kept = state.proposals.size();
  StoredGroup sg(storage, std::move(mu), std::move(lock), Group(std::move(state)), epoch);
  sg.saved_proposals_ = kept;
  return std::optional<StoredGroup>(std::move(sg));
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
  if (state.config.keep_proposals) {
    BRENVIK_TRY_VOID(write_proposals(state));
  }
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
  decoded_groups().erase(storage, group_id);
  StoredGroup sg(storage, std::move(mu), std::move(lock), std::move(g), 0);
  BRENVIK_TRY_VOID(sg.store_full(sg.group_->snapshot(), std::nullopt));
  return sg;
}

Result<StoredGroup, Error> StoredGroup::join(StorageProvider& storage, StagedWelcome staged,
                                             ByteView key_package_ref) {
  HeldGroupLock held = lock_group(storage, staged.group_id());
  return join(storage, std::move(staged), key_package_ref, std::move(held));
}

Result<StoredGroup, Error> StoredGroup::join(StorageProvider& storage, StagedWelcome staged,
                                             ByteView key_package_ref, HeldGroupLock held) {
  Bytes id = staged.group_id();
  auto mu = std::move(held.mu);
  auto lock = std::move(held.lock);
  BRENVIK_TRY(Group g, std::move(staged).into_group());
  decoded_groups().erase(storage, id);
  uint64_t epoch = g.epoch();
  StoredGroup sg(storage, std::move(mu), std::move(lock), std::move(g), epoch);
  BRENVIK_TRY_VOID(sg.store_full(sg.group_->snapshot(), std::nullopt));
  // The key package is spent: its init key must not open another Welcome.
  auto d = delete_key_package(storage, key_package_ref);
  if (!d.ok()) return Err(storage_error(d.error()));
  return sg;
}

Result<void, Error> StoredGroup::write_proposals(const GroupMemberState& state) {
  std::vector<QueuedProposal> queue;
  for (const CachedProposal& c : state.proposals) queue.push_back({c.ref, c.content});
  auto w = write_queued_proposals(*storage_, state.context.group_id, queue);
  if (!w.ok()) return Err(storage_error(w.error()));
  saved_proposals_ = queue.size();
  return {};
}

Result<void, Error> StoredGroup::save() {
  Bytes id = group_->group_id();
  Group::MessageState m = group_->message_state();
  if (m.epoch == saved_epoch_ && m.active) {
    // Kept proposals only grow within an epoch; a new one rewrites the queue.
    std::vector<CachedProposal> kept = group_->kept_proposals();
    if (kept.size() != saved_proposals_) {
      decoded_groups().erase(*storage_, id);
      GroupMemberState s;
      s.context.group_id = id;
      s.proposals = std::move(kept);
      BRENVIK_TRY_VOID(write_proposals(s));
    }
    MessageSecretsStore ms;
    ms.max_epochs = 0;
    ms.message_secrets.epoch = m.epoch;
    ms.message_secrets.sender_data_secret = std::move(m.sender_data_secret);
    ms.message_secrets.secret_tree = m.secret_tree;
    StoreRecorder recorder(*storage_);
    auto w = write_message_secrets(recorder, id, ms);
    if (!w.ok()) {
      decoded_groups().erase(*storage_, id);
      return Err(storage_error(w.error()));
    }
    remember_message_secrets(recorder.stored(), std::move(m.secret_tree));
    return {};
  }
  // A new epoch (or the end of membership) rewrites the group: decode it
  // afresh next time.
  decoded_groups().erase(*storage_, id);
  BRENVIK_TRY_VOID(store_full(group_->snapshot(), saved_epoch_));
  saved_epoch_ = group_->epoch();
  return {};
}

void StoredGroup::remember_message_secrets(const Bytes& stored, SecretTree secret_tree) {
  Bytes id = group_->group_id();
  auto known = decoded_groups().find(*storage_, id);
  if (!known) return;
  for (SeenLoad& l : known->loads) {
    if (l.type != store_label::message_secrets) continue;
    // Only the secret tree moved: the stored value now decodes to the
    // remembered state with this tree.
    if (l.value) crypto::secure_wipe(l.value->data(), l.value->size());
    l.value = stored;
    known->state.secret_tree = std::move(secret_tree);
    return;
  }
  decoded_groups().erase(*storage_, id);
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

Result<void, Error> StoredGroup::keep_proposal(const ProposalReceived& proposal) {
  BRENVIK_TRY_VOID(group_->keep_proposal(proposal));
  return save();
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
  HeldGroupLock held = lock_group(storage, group_id);
  return delete_stored_group(storage, group_id, held);
}

Result<void, Error> delete_stored_group(StorageProvider& storage, ByteView group_id,
                                        const HeldGroupLock&) {
  decoded_groups().erase(storage, group_id);
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
