#include "rfc9420/group.h"

#include <algorithm>

#include "crypto/aead.h"
#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/message_protection.h"

namespace brenvik::rfc9420 {
namespace {

Error commit_error(std::string why) {
  return Error(ErrorCode::InvalidCommit, std::move(why));
}
Error welcome_error(std::string why) {
  return Error(ErrorCode::InvalidWelcome, std::move(why));
}
Error argument_error(std::string why) {
  return Error(ErrorCode::InvalidArgument, std::move(why));
}

EpochKeys keys_from(EpochSecrets&& s) {
  EpochKeys k;
  k.sender_data_secret = std::move(s.sender_data_secret);
  k.exporter_secret = std::move(s.exporter_secret);
  k.external_secret = std::move(s.external_secret);
  k.confirmation_key = std::move(s.confirmation_key);
  k.membership_key = std::move(s.membership_key);
  k.resumption_psk = std::move(s.resumption_psk);
  k.epoch_authenticator = std::move(s.epoch_authenticator);
  k.init_secret = std::move(s.init_secret);
  return k;
}

const Bytes& zero_secret() {
  static const Bytes z(kNh, 0);
  return z;
}

std::vector<Member> list_members(const PublicTree& tree) {
  std::vector<Member> out;
  for (uint32_t l = 0; l < tree.leaf_count(); ++l) {
    const LeafNode* leaf = tree.leaf(l);
    if (!leaf) continue;
    const Bytes* id = leaf->credential.basic_identity();
    out.push_back({l, id ? *id : Bytes{}, leaf->signature_key, leaf->encryption_key});
  }
  return out;
}

bool signature_key_in_tree(const PublicTree& tree, ByteView key) {
  for (uint32_t l = 0; l < tree.leaf_count(); ++l)
    if (const LeafNode* leaf = tree.leaf(l);
        leaf &&
        std::equal(leaf->signature_key.begin(), leaf->signature_key.end(), key.begin(), key.end()))
      return true;
  return false;
}

bool encryption_key_in_tree(const PublicTree& tree, ByteView key) {
  for (NodeIndex x = 0; x < tree.node_count(); ++x) {
    if (tree.blank(x)) continue;
    const Bytes* k = nullptr;
    if (tree_math::is_leaf(x))
      k = &tree.leaf(tree_math::node_to_leaf(x))->encryption_key;
    else
      k = &tree.parent_node(x)->encryption_key;
    if (std::equal(k->begin(), k->end(), key.begin(), key.end())) return true;
  }
  return false;
}

// The GroupContextExtensions a list of extensions may carry: no external
// senders (only members send into groups of this engine) and no unknown
// required capabilities.
bool has_external_senders(const std::vector<Extension>& exts) {
  return find_extension(exts, extension_type::external_senders) != nullptr;
}

Bytes ratchet_tree_extension_data(const PublicTree& tree) {
  return tls_encode(tree.to_wire());
}

}  // namespace

// ---------------------------------------------------------------------------
// Creation and accessors

Result<Group, Error> Group::create(ByteView group_id, const CredentialWithKey& credential,
                                   const crypto::Ed25519PrivateKey& signer, uint64_t now,
                                   const GroupConfig& config, std::vector<Extension> extensions) {
  if (group_id.empty()) return Err(argument_error("empty group id"));
  if (has_external_senders(extensions))
    return Err(argument_error("groups of this engine take no external senders"));
  // The creator's leaf is made like a key package's leaf; its init key is
  // never used.
  BRENVIK_TRY(KeyPackageWithKeys kp, build_key_package(credential, signer, now));

  GroupMemberState s;
  s.config = config;
  RatchetTree wire;
  wire.emplace_back(Node{tls::Case<NodeType::leaf, LeafNode>{kp.key_package.leaf_node}});
  BRENVIK_TRY(s.tree, PublicTree::from_wire(wire));
  s.keys = TreePrivateKeys(0);
  s.keys.set(tree_math::leaf_to_node(0), kp.encryption_key);
  s.context.cipher_suite = kSuite;
  s.context.group_id.assign(group_id.begin(), group_id.end());
  s.context.epoch = 0;
  s.context.tree_hash = s.tree.tree_hash();
  s.context.extensions = std::move(extensions);

  // Epoch 0 (RFC 9420 §11): a random init secret, an all-zero commit
  // secret, an empty confirmed transcript hash.
  auto init = crypto::random_secret_32();
  if (!init.ok()) return Err(Error::crypto(init.error()));
  BRENVIK_TRY(EpochSecrets es, derive_epoch_secrets(init->view(), zero_secret(), zero_secret(),
                                                    tls_encode(s.context)));
  s.confirmation_tag = confirmation_tag(es.confirmation_key.view(), {});
  s.interim_transcript_hash = interim_transcript_hash({}, s.confirmation_tag);
  s.secret_tree = SecretTree(es.encryption_secret.view(), 1, config.sender_ratchet);
  s.secrets = keys_from(std::move(es));
  return Group(std::move(s));
}

Group& Group::operator=(Group&& o) noexcept {
  if (this != &o) state_ = std::move(o.state_);
  return *this;
}

Bytes Group::group_id() const {
  std::lock_guard lock(mu_);
  return state_.context.group_id;
}
uint64_t Group::epoch() const {
  std::lock_guard lock(mu_);
  return state_.context.epoch;
}
uint32_t Group::own_leaf_index() const {
  std::lock_guard lock(mu_);
  return state_.keys.own_leaf();
}
bool Group::active() const {
  std::lock_guard lock(mu_);
  return state_.active;
}
GroupContext Group::context() const {
  std::lock_guard lock(mu_);
  return state_.context;
}
std::vector<Member> Group::members() const {
  std::lock_guard lock(mu_);
  return list_members(state_.tree);
}
std::optional<LeafNode> Group::leaf(uint32_t leaf_index) const {
  std::lock_guard lock(mu_);
  const LeafNode* l = state_.tree.leaf(leaf_index);
  return l ? std::optional<LeafNode>(*l) : std::nullopt;
}
crypto::SecretBytes Group::epoch_authenticator() const {
  std::lock_guard lock(mu_);
  return state_.secrets.epoch_authenticator;
}
Result<crypto::SecretBytes, Error> Group::export_secret(std::string_view label, ByteView context,
                                                        size_t length) const {
  std::lock_guard lock(mu_);
  return mls_exporter(state_.secrets.exporter_secret.view(), label, context, length);
}
GroupMemberState Group::snapshot() const {
  std::lock_guard lock(mu_);
  return state_;
}
Group::MessageState Group::message_state() const {
  std::lock_guard lock(mu_);
  return {state_.context.epoch, state_.active, state_.secrets.sender_data_secret,
          state_.secret_tree};
}

// ---------------------------------------------------------------------------
// Sending

Result<MlsMessage, Error> Group::create_application_message(ByteView data,
                                                            const crypto::Ed25519PrivateKey& signer,
                                                            ByteView authenticated_data) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  FramedContent fc;
  fc.group_id = state_.context.group_id;
  fc.epoch = state_.context.epoch;
  fc.sender = Sender::member(state_.keys.own_leaf());
  fc.authenticated_data.assign(authenticated_data.begin(), authenticated_data.end());
  fc.content = ApplicationContent{Bytes(data.begin(), data.end())};
  BRENVIK_TRY(AuthenticatedContent ac,
              sign_content(WireFormat::private_message, std::move(fc), signer, state_.context));
  BRENVIK_TRY(PrivateMessage pm,
              protect_private(ac, state_.secret_tree, state_.secrets.sender_data_secret.view(),
                              state_.config.padding_size));
  MlsMessage m;
  m.body = tls::Case<WireFormat::private_message, PrivateMessage>{std::move(pm)};
  return m;
}

Result<CommitOutput, Error> Group::add_members(std::span<const KeyPackage> key_packages,
                                               const crypto::Ed25519PrivateKey& signer,
                                               uint64_t now) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  if (key_packages.empty()) return Err(argument_error("no key package to add"));
  std::vector<Proposal> proposals;
  std::vector<const KeyPackage*> added;
  for (const KeyPackage& kp : key_packages) {
    BRENVIK_TRY_VOID(validate_key_package(kp, now));
    if (signature_key_in_tree(state_.tree, kp.leaf_node.signature_key))
      return Err(argument_error("a key package's signature key is already in the group"));
    for (const KeyPackage* other : added)
      if (other->leaf_node.signature_key == kp.leaf_node.signature_key)
        return Err(argument_error("two key packages share a signature key"));
    proposals.push_back(Proposal{Add{kp}});
    added.push_back(&kp);
  }
  return commit_locked(std::move(proposals), true, signer, std::move(added));
}

Result<CommitOutput, Error> Group::remove_members(std::span<const uint32_t> leaf_indices,
                                                  const crypto::Ed25519PrivateKey& signer) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  if (leaf_indices.empty()) return Err(argument_error("no member to remove"));
  std::vector<Proposal> proposals;
  std::vector<uint32_t> seen;
  for (uint32_t l : leaf_indices) {
    if (l == state_.keys.own_leaf()) return Err(argument_error("a member cannot remove itself"));
    if (!state_.tree.leaf(l)) return Err(argument_error("no member at that leaf"));
    if (std::find(seen.begin(), seen.end(), l) != seen.end())
      return Err(argument_error("a leaf is named twice"));
    seen.push_back(l);
    proposals.push_back(Proposal{Remove{l}});
  }
  return commit_locked(std::move(proposals), true, signer, {});
}

Result<CommitOutput, Error> Group::self_update(const crypto::Ed25519PrivateKey& signer) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  return commit_locked({}, true, signer, {});
}

Result<CommitOutput, Error> Group::commit_locked(std::vector<Proposal> proposals, bool with_path,
                                                 const crypto::Ed25519PrivateKey& signer,
                                                 std::vector<const KeyPackage*> added_packages) {
  const GroupMemberState& cur = state_;
  const uint32_t own = cur.keys.own_leaf();
  const LeafNode* own_leaf = cur.tree.leaf(own);
  if (!own_leaf) return Err(Error(ErrorCode::InvalidState, "own leaf is blank"));
  const auto& pk = signer.public_key();
  if (!std::equal(pk.begin(), pk.end(), own_leaf->signature_key.begin(),
                  own_leaf->signature_key.end()))
    return Err(argument_error("signer does not match the own leaf"));

  GroupMemberState next;
  next.config = cur.config;
  next.tree = cur.tree;
  next.keys = cur.keys;
  next.context = cur.context;

  // Proposals apply in the order of RFC 9420 §12.3: removes, then adds.
  std::vector<uint32_t> added_leaves;
  for (const Proposal& p : proposals)
    if (const auto* r = std::get_if<Remove>(&p.body))
      BRENVIK_TRY_VOID(next.tree.remove_leaf(r->removed));
  for (const Proposal& p : proposals)
    if (const auto* a = std::get_if<Add>(&p.body))
      added_leaves.push_back(next.tree.add_leaf(a->key_package->leaf_node));

  GroupContext provisional = next.context;
  provisional.epoch = cur.context.epoch + 1;
  crypto::SecretBytes commit_secret(zero_secret());
  std::optional<GeneratedPath> gen;
  if (with_path) {
    LeafTemplate tmpl{own_leaf->credential, own_leaf->capabilities, own_leaf->extensions};
    auto g =
        generate_update_path(next.tree, own, tmpl, signer, provisional, next.keys, added_leaves);
    if (!g.ok()) return Err(std::move(g).error());
    gen = std::move(*g);
    commit_secret = gen->commit_secret;
  } else {
    next.keys.prune(next.tree);
    provisional.tree_hash = next.tree.tree_hash();
  }

  Commit commit;
  for (Proposal& p : proposals) commit.proposals.push_back(ProposalOrRef::inline_proposal(p));
  if (gen) commit.path = gen->path;

  FramedContent fc;
  fc.group_id = cur.context.group_id;
  fc.epoch = cur.context.epoch;
  fc.sender = Sender::member(own);
  fc.content = CommitContent{std::move(commit)};
  BRENVIK_TRY(AuthenticatedContent ac,
              sign_content(WireFormat::private_message, std::move(fc), signer, cur.context));
  Bytes confirmed = confirmed_transcript_hash(cur.interim_transcript_hash, ac);
  provisional.confirmed_transcript_hash = confirmed;
  BRENVIK_TRY(EpochSecrets es,
              derive_epoch_secrets(cur.secrets.init_secret.view(), commit_secret.view(),
                                   zero_secret(), tls_encode(provisional)));
  Bytes tag = confirmation_tag(es.confirmation_key.view(), confirmed);
  ac.auth.confirmation_tag = tag;

  // The commit travels under the keys of the epoch it leaves. A copy of the
  // secret tree is advanced so that a failure leaves the group untouched.
  SecretTree sending = cur.secret_tree;
  BRENVIK_TRY(PrivateMessage pm, protect_private(ac, sending, cur.secrets.sender_data_secret.view(),
                                                 cur.config.padding_size));

  next.context = std::move(provisional);
  next.interim_transcript_hash = interim_transcript_hash(confirmed, tag);
  next.confirmation_tag = tag;
  next.secret_tree =
      SecretTree(es.encryption_secret.view(), next.tree.leaf_count(), next.config.sender_ratchet);

  CommitOutput out;
  out.commit.body = tls::Case<WireFormat::private_message, PrivateMessage>{std::move(pm)};

  if (!added_leaves.empty()) {
    GroupInfo gi;
    gi.group_context = next.context;
    if (next.config.use_ratchet_tree_extension)
      gi.extensions.push_back(
          {extension_type::ratchet_tree, ratchet_tree_extension_data(next.tree)});
    gi.confirmation_tag = tag;
    gi.signer = own;
    auto sig = sign_with_label(signer, "GroupInfoTBS", group_info_tbs(gi));
    if (!sig.ok()) return Err(Error::crypto(sig.error()));
    gi.signature = std::move(*sig);
    BRENVIK_TRY(KeyAndNonce kn, welcome_key_nonce(es.welcome_secret.view()));
    auto egi = crypto::aes128gcm_seal(kn.key.view(), kn.nonce.view(), {}, tls_encode(gi));
    if (!egi.ok()) return Err(Error::crypto(egi.error()));
    Welcome w;
    w.cipher_suite = kSuite;
    w.encrypted_group_info = std::move(*egi);
    for (size_t i = 0; i < added_leaves.size(); ++i) {
      GroupSecrets gs;
      gs.joiner_secret.assign(es.joiner_secret.view().begin(), es.joiner_secret.view().end());
      if (gen) {
        auto anc = tree_math::common_ancestor(tree_math::leaf_to_node(added_leaves[i]),
                                              tree_math::leaf_to_node(own), next.tree.leaf_count());
        for (const auto& [x, secret] : gen->path_secrets)
          if (anc && x == *anc)
            gs.path_secret = PathSecret{Bytes(secret.view().begin(), secret.view().end())};
      }
      Bytes plain = tls_encode(gs);
      auto ct =
          encrypt_with_label(added_packages[i]->init_key, "Welcome", w.encrypted_group_info, plain);
      crypto::secure_wipe(plain.data(), plain.size());
      if (!ct.ok()) return Err(Error::crypto(ct.error()));
      w.secrets.push_back({make_key_package_ref(*added_packages[i]), std::move(*ct)});
    }
    MlsMessage wm;
    wm.body = tls::Case<WireFormat::welcome, Welcome>{std::move(w)};
    out.welcome = std::move(wm);
  }

  next.secrets = keys_from(std::move(es));
  state_ = std::move(next);
  return out;
}

// ---------------------------------------------------------------------------
// Receiving

Result<ProcessedMessage, Error> Group::process_message(const MlsMessage& message, uint64_t now) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  const PrivateMessage* pm = message.get<PrivateMessage>();
  if (!pm) {
    if (message.get<PublicMessage>())
      return Err(Error(ErrorCode::InvalidContent,
                       "this group accepts handshake and application messages only encrypted"));
    return Err(Error(ErrorCode::InvalidContent, "not a protocol message"));
  }
  BRENVIK_TRY_VOID(check_group_and_epoch(pm->group_id, pm->epoch, state_.context));

  // Work on a copy of the secret tree: a message that fails any later check
  // must not consume its generation.
  SecretTree receiving = state_.secret_tree;
  BRENVIK_TRY(
      AuthenticatedContent ac,
      unprotect_private(*pm, receiving, state_.secrets.sender_data_secret.view(), state_.context));
  auto sender_leaf = ac.content.sender.leaf_index();
  if (!sender_leaf) return Err(Error(ErrorCode::InvalidSender, "not a member sender"));
  if (*sender_leaf == state_.keys.own_leaf())
    return Err(Error(ErrorCode::InvalidSender, "a message from this member itself"));
  const LeafNode* leaf = state_.tree.leaf(*sender_leaf);
  if (!leaf) return Err(Error(ErrorCode::InvalidSender, "the sender's leaf is blank"));
  BRENVIK_TRY_VOID(verify_content_signature(ac, leaf->signature_key, state_.context));

  ProcessedMessage out;
  out.epoch = ac.content.epoch;
  out.sender = ac.content.sender;
  out.authenticated_data = ac.content.authenticated_data;
  switch (ac.content.content_type()) {
    case ContentType::application:
      out.content = ApplicationData{std::get<ApplicationContent>(ac.content.content).value};
      break;
    case ContentType::proposal:
      out.content = ProposalReceived{std::get<ProposalContent>(ac.content.content).value};
      break;
    case ContentType::commit: {
      BRENVIK_TRY(StagedCommit staged, stage_commit_locked(ac, now));
      out.content = std::move(staged);
      break;
    }
    case ContentType::reserved:
      return Err(Error(ErrorCode::InvalidContent, "reserved content type"));
  }
  state_.secret_tree = std::move(receiving);
  return out;
}

Result<StagedCommit, Error> Group::stage_commit_locked(const AuthenticatedContent& ac,
                                                       uint64_t now) {
  const GroupMemberState& cur = state_;
  const Commit& commit = std::get<CommitContent>(ac.content.content).value;
  const uint32_t committer = *ac.content.sender.leaf_index();
  if (!ac.auth.confirmation_tag) return Err(commit_error("no confirmation tag"));

  StagedCommit staged;
  staged.from_epoch_ = cur.context.epoch;
  staged.committer_ = committer;

  bool path_required = commit.proposals.empty();
  std::vector<const Proposal*> removes, adds, gces;
  for (const ProposalOrRef& por : commit.proposals) {
    const Proposal* p = por.proposal();
    if (!p)
      return Err(Error(ErrorCode::UnsupportedProposal,
                       "proposals by reference are not accepted; commits carry them inline"));
    switch (p->type()) {
      case proposal_type::add:
        adds.push_back(p);
        break;
      case proposal_type::remove:
        removes.push_back(p);
        path_required = true;
        break;
      case proposal_type::group_context_extensions:
        gces.push_back(p);
        path_required = true;
        break;
      case proposal_type::update:
        // A committer cannot carry its own Update (RFC 9420 §12.2), and
        // only inline proposals exist here.
        return Err(commit_error("an inline Update proposal"));
      default:
        return Err(Error(ErrorCode::UnsupportedProposal,
                         "proposal type " + std::to_string(p->type()) + " is not supported"));
    }
    staged.proposals_.push_back({*p, committer});
  }
  if (gces.size() > 1) return Err(commit_error("more than one GroupContextExtensions proposal"));
  if (path_required && !commit.path) return Err(commit_error("the commit needs an update path"));

  GroupMemberState next;
  next.config = cur.config;
  next.tree = cur.tree;
  next.keys = cur.keys;
  next.context = cur.context;
  bool self_removed = false;

  std::vector<uint32_t> removed;
  for (const Proposal* p : removes) {
    uint32_t l = std::get<Remove>(p->body).removed;
    if (l == committer) return Err(commit_error("the committer removes itself"));
    if (std::find(removed.begin(), removed.end(), l) != removed.end())
      return Err(commit_error("a leaf is removed twice"));
    if (!next.tree.leaf(l)) return Err(commit_error("a Remove names a blank leaf"));
    removed.push_back(l);
    if (l == cur.keys.own_leaf()) self_removed = true;
    BRENVIK_TRY_VOID(next.tree.remove_leaf(l));
  }
  std::vector<uint32_t> added_leaves;
  for (const Proposal* p : adds) {
    const KeyPackage& kp = *std::get<Add>(p->body).key_package;
    auto v = validate_key_package(kp, now);
    if (!v.ok())
      return Err(commit_error("an added key package is invalid: " + v.error().message()));
    if (signature_key_in_tree(next.tree, kp.leaf_node.signature_key))
      return Err(commit_error("an added member's signature key is already in the group"));
    if (encryption_key_in_tree(next.tree, kp.leaf_node.encryption_key))
      return Err(commit_error("an added member's encryption key is already in the tree"));
    added_leaves.push_back(next.tree.add_leaf(kp.leaf_node));
  }
  GroupContext provisional = next.context;
  provisional.epoch = cur.context.epoch + 1;
  if (!gces.empty()) {
    const auto& exts = std::get<GroupContextExtensions>(gces[0]->body).extensions;
    provisional.extensions = exts;
  }

  crypto::SecretBytes commit_secret(zero_secret());
  if (commit.path) {
    const LeafNode& pl = commit.path->leaf_node;
    auto lv = validate_leaf_node(pl, cur.context.group_id, committer);
    if (!lv.ok()) return Err(commit_error("update path leaf: " + lv.error().message()));
    if (self_removed) {
      BRENVIK_TRY_VOID(
          merge_update_path(next.tree, committer, *commit.path, provisional, added_leaves));
    } else {
      BRENVIK_TRY(commit_secret, process_update_path(next.tree, committer, *commit.path,
                                                     provisional, next.keys, added_leaves));
    }
    staged.path_leaf_ = pl;
  } else {
    next.keys.prune(next.tree);
    provisional.tree_hash = next.tree.tree_hash();
  }

  Bytes confirmed = confirmed_transcript_hash(cur.interim_transcript_hash, ac);
  provisional.confirmed_transcript_hash = confirmed;
  next.context = std::move(provisional);
  if (self_removed) {
    // A removed member holds no key to the new epoch: it cannot check the
    // confirmation tag and keeps nothing but the fact that it left.
    next.active = false;
    next.secrets = EpochKeys{};
    next.secret_tree =
        SecretTree(zero_secret(), next.tree.leaf_count(), next.config.sender_ratchet);
    next.interim_transcript_hash = interim_transcript_hash(confirmed, *ac.auth.confirmation_tag);
    next.confirmation_tag = *ac.auth.confirmation_tag;
    staged.next_ = std::move(next);
    return staged;
  }
  BRENVIK_TRY(EpochSecrets es,
              derive_epoch_secrets(cur.secrets.init_secret.view(), commit_secret.view(),
                                   zero_secret(), tls_encode(next.context)));
  if (!verify_confirmation_tag(es.confirmation_key.view(), confirmed, *ac.auth.confirmation_tag))
    return Err(Error(ErrorCode::InvalidConfirmationTag));
  next.interim_transcript_hash = interim_transcript_hash(confirmed, *ac.auth.confirmation_tag);
  next.confirmation_tag = *ac.auth.confirmation_tag;
  next.secret_tree =
      SecretTree(es.encryption_secret.view(), next.tree.leaf_count(), next.config.sender_ratchet);
  next.secrets = keys_from(std::move(es));
  staged.next_ = std::move(next);
  return staged;
}

Result<void, Error> Group::merge_staged_commit(StagedCommit staged) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  if (staged.from_epoch_ != state_.context.epoch ||
      staged.next_.context.group_id != state_.context.group_id)
    return Err(argument_error("the staged commit does not belong to the group's current epoch"));
  state_ = std::move(staged.next_);
  return {};
}

// ---------------------------------------------------------------------------
// Joining

std::vector<Member> StagedWelcome::members() const {
  return list_members(state_.tree);
}

Result<Group, Error> StagedWelcome::into_group() && {
  if (has_external_senders(state_.context.extensions))
    return Err(welcome_error("the group context names external senders"));
  return Group(std::move(state_));
}

Result<DecryptedWelcome, Error> decrypt_welcome(const Welcome& welcome, const KeyPackage& own,
                                                const crypto::X25519PrivateKey& init_key,
                                                std::span<const ExternalPskEntry> external_psks) {
  if (welcome.cipher_suite != kSuite) return Err(welcome_error("unsupported cipher suite"));
  KeyPackageRef ref = make_key_package_ref(own);
  const EncryptedGroupSecrets* mine = nullptr;
  for (const auto& s : welcome.secrets)
    if (s.new_member == ref) mine = &s;
  if (!mine) return Err(welcome_error("no secrets for this key package"));

  auto plain = decrypt_with_label(init_key, "Welcome", welcome.encrypted_group_info,
                                  mine->encrypted_group_secrets.kem_output,
                                  mine->encrypted_group_secrets.ciphertext);
  if (!plain.ok()) return Err(welcome_error("group secrets do not decrypt"));
  auto gs = tls_decode<GroupSecrets>(plain->view());
  if (!gs.ok()) return Err(Error::codec(gs.error()));
  if (gs->joiner_secret.size() != kNh)
    return Err(welcome_error("joiner secret has the wrong size"));

  std::vector<PskInput> psks;
  for (const PreSharedKeyId& id : gs->psks) {
    const auto* ext = std::get_if<ExternalPsk>(&id.psk);
    if (!ext) return Err(Error(ErrorCode::UnsupportedProposal, "resumption PSKs are not kept"));
    const ExternalPskEntry* found = nullptr;
    for (const auto& e : external_psks)
      if (e.psk_id == ext->psk_id) found = &e;
    if (!found) return Err(welcome_error("the Welcome needs an unknown pre-shared key"));
    psks.push_back({id, found->psk});
  }
  DecryptedWelcome out;
  BRENVIK_TRY(out.psk_secret, compute_psk_secret(psks));

  // The welcome secret depends only on the joiner and PSK secrets; the rest
  // of the schedule needs the GroupContext inside the encrypted GroupInfo.
  auto member = kdf_extract(gs->joiner_secret, out.psk_secret.view());
  auto welcome_secret = derive_secret(member.view(), "welcome");
  if (!welcome_secret.ok()) return Err(Error::crypto(welcome_secret.error()));
  BRENVIK_TRY(KeyAndNonce kn, welcome_key_nonce(welcome_secret->view()));
  auto gi_bytes =
      crypto::aes128gcm_open(kn.key.view(), kn.nonce.view(), {}, welcome.encrypted_group_info);
  if (!gi_bytes.ok()) return Err(welcome_error("group info does not decrypt"));
  auto gi = tls_decode<GroupInfo>(*gi_bytes);
  if (!gi.ok()) return Err(Error::codec(gi.error()));
  out.secrets = std::move(*gs);
  out.group_info = std::move(*gi);
  return out;
}

Result<StagedWelcome, Error> stage_welcome(const Welcome& welcome, const KeyPackageWithKeys& own,
                                           const WelcomeOptions& options) {
  BRENVIK_TRY(DecryptedWelcome dw,
              decrypt_welcome(welcome, own.key_package, own.init_key, options.external_psks));
  const GroupSecrets* gs = &dw.secrets;
  const GroupInfo* gi = &dw.group_info;
  const crypto::SecretBytes& psk_secret = dw.psk_secret;
  const GroupContext& ctx = gi->group_context;
  if (ctx.cipher_suite != kSuite) return Err(welcome_error("group uses another cipher suite"));
  if (ctx.group_id.empty()) return Err(welcome_error("empty group id"));

  RatchetTree wire;
  if (options.ratchet_tree) {
    wire = *options.ratchet_tree;
  } else {
    const Extension* ext = find_extension(gi->extensions, extension_type::ratchet_tree);
    if (!ext) return Err(welcome_error("no ratchet tree in the Welcome and none supplied"));
    auto t = tls_decode<RatchetTree>(ext->extension_data);
    if (!t.ok()) return Err(Error::codec(t.error()));
    wire = std::move(*t);
  }
  auto tree = PublicTree::from_wire(wire);
  if (!tree.ok()) return Err(welcome_error("malformed ratchet tree: " + tree.error().message()));

  const LeafNode* signer_leaf = tree->leaf(gi->signer);
  if (!signer_leaf) return Err(welcome_error("the group info signer is not a member"));
  auto sig_ok = verify_with_label(signer_leaf->signature_key, "GroupInfoTBS", group_info_tbs(*gi),
                                  gi->signature);
  if (!sig_ok.ok() || !*sig_ok) return Err(welcome_error("group info signature does not verify"));
  if (tree->tree_hash() != ctx.tree_hash) return Err(welcome_error("tree hash does not match"));
  auto valid = validate_tree_for_join(*tree, ctx.group_id, options.now);
  if (!valid.ok()) return Err(welcome_error(valid.error().message()));

  // The own leaf is the one identical to the key package's.
  std::optional<uint32_t> own_leaf;
  for (uint32_t l = 0; l < tree->leaf_count(); ++l)
    if (const LeafNode* leaf = tree->leaf(l); leaf && *leaf == own.key_package.leaf_node)
      own_leaf = l;
  if (!own_leaf) return Err(welcome_error("the tree has no leaf for this key package"));

  TreePrivateKeys keys(*own_leaf);
  keys.set(tree_math::leaf_to_node(*own_leaf), own.encryption_key);
  if (gs->path_secret) {
    auto anc = tree_math::common_ancestor(tree_math::leaf_to_node(*own_leaf),
                                          tree_math::leaf_to_node(gi->signer), tree->leaf_count());
    if (!anc || gi->signer == *own_leaf)
      return Err(welcome_error("path secret without an ancestor"));
    auto implanted = keys.implant(*tree, gi->signer, *anc, gs->path_secret->path_secret);
    if (!implanted.ok())
      return Err(
          welcome_error("path secret does not match the tree: " + implanted.error().message()));
  }

  BRENVIK_TRY(EpochSecrets es, derive_epoch_secrets_from_joiner(
                                   gs->joiner_secret, psk_secret.view(), tls_encode(ctx)));
  if (!verify_confirmation_tag(es.confirmation_key.view(), ctx.confirmed_transcript_hash,
                               gi->confirmation_tag))
    return Err(welcome_error("confirmation tag does not verify"));

  StagedWelcome sw;
  GroupMemberState& s = sw.state_;
  s.config = options.config;
  s.interim_transcript_hash =
      interim_transcript_hash(ctx.confirmed_transcript_hash, gi->confirmation_tag);
  s.confirmation_tag = gi->confirmation_tag;
  s.secret_tree =
      SecretTree(es.encryption_secret.view(), tree->leaf_count(), s.config.sender_ratchet);
  s.secrets = keys_from(std::move(es));
  s.context = ctx;
  s.tree = std::move(*tree);
  s.keys = std::move(keys);
  sw.signer_ = gi->signer;
  return sw;
}

}  // namespace brenvik::rfc9420
