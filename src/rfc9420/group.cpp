#include "rfc9420/group.h"

#include <algorithm>

#include "crypto/aead.h"
#include "crypto/random.h"
#include "rfc9420/cipher_suite.h"
#include "rfc9420/message_protection.h"
#include "util/hex.h"

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

// Whether a leaf other than `except` carries this signature key.
bool signature_key_elsewhere(const PublicTree& tree, ByteView key, uint32_t except) {
  for (uint32_t l = 0; l < tree.leaf_count(); ++l)
    if (const LeafNode* leaf = tree.leaf(l);
        l != except && leaf &&
        std::equal(leaf->signature_key.begin(), leaf->signature_key.end(), key.begin(), key.end()))
      return true;
  return false;
}

// Appends the current epoch's resumption PSK to the ring (§8.6), dropping
// the oldest beyond the configured number.
void remember_resumption_psk(GroupMemberState& s) {
  const uint32_t keep = s.config.number_of_resumption_psks;
  if (keep == 0) {
    s.resumption_psks.clear();
    return;
  }
  s.resumption_psks.push_back({s.context.epoch, s.secrets.resumption_psk});
  if (s.resumption_psks.size() > keep)
    s.resumption_psks.erase(s.resumption_psks.begin(),
                            s.resumption_psks.end() - static_cast<std::ptrdiff_t>(keep));
}

bool path_required_for(ProposalType t) {
  return t != proposal_type::add && t != proposal_type::psk && t != proposal_type::reinit;
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
  remember_resumption_psk(s);
  return Group(std::move(s));
}

Group& Group::operator=(Group&& o) noexcept {
  if (this != &o) {
    state_ = std::move(o.state_);
    receive_ = std::move(o.receive_);
  }
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
  next.resumption_psks = cur.resumption_psks;

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
  remember_resumption_psk(next);
  state_ = std::move(next);
  return out;
}

// ---------------------------------------------------------------------------
// Receiving

Result<ProcessedMessage, Error> Group::process_message(const MlsMessage& message, uint64_t now) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  const IncomingWireFormatPolicy incoming = state_.config.incoming;
  AuthenticatedContent ac;
  // Work on a copy of the secret tree: a message that fails any later check
  // must not consume its generation.
  std::optional<SecretTree> receiving;
  if (const PrivateMessage* pm = message.get<PrivateMessage>()) {
    BRENVIK_TRY_VOID(check_group_and_epoch(pm->group_id, pm->epoch, state_.context));
    if (pm->content_type != ContentType::application &&
        incoming == IncomingWireFormatPolicy::AlwaysPlaintext)
      return Err(Error(ErrorCode::InvalidContent,
                       "this group accepts handshake messages only in plaintext"));
    receiving = state_.secret_tree;
    BRENVIK_TRY(ac, unprotect_private(*pm, *receiving, state_.secrets.sender_data_secret.view(),
                                      state_.context));
  } else if (const PublicMessage* pub = message.get<PublicMessage>()) {
    if (incoming == IncomingWireFormatPolicy::AlwaysCiphertext)
      return Err(Error(ErrorCode::InvalidContent,
                       "this group accepts handshake and application messages only encrypted"));
    // Only members send into these groups; checked before the membership
    // tag, which only member senders carry (§6.2).
    if (pub->content.sender.type() != SenderType::member)
      return Err(Error(ErrorCode::InvalidSender, "not a member sender"));
    BRENVIK_TRY(ac, unprotect_public(*pub, state_.secrets.membership_key.view(), state_.context));
  } else {
    return Err(Error(ErrorCode::InvalidContent, "not a protocol message"));
  }
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
  out.wire_format = ac.wire_format;
  out.authenticated_data = ac.content.authenticated_data;
  switch (ac.content.content_type()) {
    case ContentType::application:
      out.content = ApplicationData{std::get<ApplicationContent>(ac.content.content).value};
      break;
    case ContentType::proposal: {
      ProposalReceived received;
      received.proposal = std::get<ProposalContent>(ac.content.content).value;
      received.ref = make_proposal_ref(tls_encode(ac));
      received.content = ac;
      out.content = std::move(received);
      break;
    }
    case ContentType::commit: {
      BRENVIK_TRY(StagedCommit staged, stage_commit_locked(ac, now));
      out.content = std::move(staged);
      break;
    }
    case ContentType::reserved:
      return Err(Error(ErrorCode::InvalidContent, "reserved content type"));
  }
  if (receiving) state_.secret_tree = std::move(*receiving);
  return out;
}

Result<StagedCommit, Error> Group::stage_commit_locked(const AuthenticatedContent& ac,
                                                       uint64_t now) {
  const GroupMemberState& cur = state_;
  const Commit& commit = std::get<CommitContent>(ac.content.content).value;
  const uint32_t committer = *ac.content.sender.leaf_index();
  const uint32_t own = cur.keys.own_leaf();
  if (!ac.auth.confirmation_tag) return Err(commit_error("no confirmation tag"));

  StagedCommit staged;
  staged.from_epoch_ = cur.context.epoch;
  staged.committer_ = committer;

  // Resolve references against the proposals kept this epoch (§12.4).
  for (const ProposalOrRef& por : commit.proposals) {
    if (const Proposal* p = por.proposal()) {
      staged.proposals_.push_back({*p, committer});
      continue;
    }
    if (!cur.config.keep_proposals)
      return Err(Error(ErrorCode::UnsupportedProposal,
                       "proposals by reference are not accepted; commits carry them inline"));
    const ProposalRef& ref = *por.reference();
    const CachedProposal* found = nullptr;
    for (const CachedProposal& c : cur.proposals)
      if (c.ref == ref) found = &c;
    if (!found) return Err(commit_error("unknown proposal reference " + hex_encode(ref)));
    staged.proposals_.push_back({std::get<ProposalContent>(found->content.content.content).value,
                                 *found->content.content.sender.leaf_index()});
  }

  // Proposal-list validation (§12.2) and whether a path is required (§12.4).
  bool path_required = commit.proposals.empty();
  std::vector<const CommittedProposal*> updates, removes, adds, psks, gces, reinits;
  for (const CommittedProposal& cp : staged.proposals_) {
    const ProposalType type = cp.proposal.type();
    if (path_required_for(type)) path_required = true;
    switch (type) {
      case proposal_type::add:
        adds.push_back(&cp);
        break;
      case proposal_type::update:
        if (cp.sender == committer) return Err(commit_error("an Update proposal of the committer"));
        updates.push_back(&cp);
        break;
      case proposal_type::remove:
        removes.push_back(&cp);
        break;
      case proposal_type::psk:
        psks.push_back(&cp);
        break;
      case proposal_type::reinit:
        reinits.push_back(&cp);
        break;
      case proposal_type::group_context_extensions:
        gces.push_back(&cp);
        break;
      case proposal_type::external_init:
        return Err(commit_error("an ExternalInit proposal in a member's commit"));
      default:
        return Err(Error(ErrorCode::UnsupportedProposal,
                         "proposal type " + std::to_string(type) + " is not supported"));
    }
  }
  if (gces.size() > 1) return Err(commit_error("more than one GroupContextExtensions proposal"));
  if (!reinits.empty() && staged.proposals_.size() > 1)
    return Err(commit_error("a ReInit proposal together with other proposals"));
  if (path_required && !commit.path) return Err(commit_error("the commit needs an update path"));

  GroupMemberState next;
  next.config = cur.config;
  next.tree = cur.tree;
  next.keys = cur.keys;
  next.context = cur.context;
  next.resumption_psks = cur.resumption_psks;
  bool self_removed = false;
  const bool check_lifetimes = receive_.check_received_lifetimes;

  GroupContext provisional = next.context;
  provisional.epoch = cur.context.epoch + 1;
  if (!gces.empty()) {
    provisional.extensions = std::get<GroupContextExtensions>(gces[0]->proposal.body).extensions;
    if (has_external_senders(provisional.extensions))
      return Err(commit_error("groups of this engine take no external senders"));
  }

  std::vector<uint32_t> touched;  // leaves changed by an Update or Remove
  auto touch = [&](uint32_t l) -> Result<void, Error> {
    if (std::find(touched.begin(), touched.end(), l) != touched.end())
      return Err(commit_error("two Update or Remove proposals for one leaf"));
    touched.push_back(l);
    return {};
  };
  for (const CommittedProposal* cp : updates) {
    const uint32_t l = cp->sender;
    BRENVIK_TRY_VOID(touch(l));
    if (l == own)
      return Err(commit_error("an Update of this member's leaf, which it never proposed"));
    const LeafNode& leaf = *std::get<Update>(cp->proposal.body).leaf_node;
    if (leaf.leaf_node_source() != LeafNodeSource::update)
      return Err(commit_error("an Update's leaf is not update-sourced"));
    auto lv = validate_leaf_node(leaf, cur.context.group_id, l);
    if (!lv.ok()) return Err(commit_error("an Update's leaf: " + lv.error().message()));
    if (encryption_key_in_tree(next.tree, leaf.encryption_key))
      return Err(commit_error("an Update's encryption key is already in the tree"));
    if (signature_key_elsewhere(next.tree, leaf.signature_key, l))
      return Err(commit_error("an Update's signature key belongs to another member"));
    BRENVIK_TRY_VOID(next.tree.update_leaf(l, leaf));
  }
  for (const CommittedProposal* cp : removes) {
    const uint32_t l = std::get<Remove>(cp->proposal.body).removed;
    if (l == committer) return Err(commit_error("the committer removes itself"));
    BRENVIK_TRY_VOID(touch(l));
    if (!next.tree.leaf(l)) return Err(commit_error("a Remove names a blank leaf"));
    if (l == own) self_removed = true;
    BRENVIK_TRY_VOID(next.tree.remove_leaf(l));
  }
  std::vector<uint32_t> added_leaves;
  for (const CommittedProposal* cp : adds) {
    const KeyPackage& kp = *std::get<Add>(cp->proposal.body).key_package;
    auto v = validate_key_package(kp, now, check_lifetimes);
    if (!v.ok())
      return Err(commit_error("an added key package is invalid: " + v.error().message()));
    if (signature_key_in_tree(next.tree, kp.leaf_node.signature_key))
      return Err(commit_error("an added member's signature key is already in the group"));
    if (encryption_key_in_tree(next.tree, kp.leaf_node.encryption_key))
      return Err(commit_error("an added member's encryption key is already in the tree"));
    added_leaves.push_back(next.tree.add_leaf(kp.leaf_node));
  }

  // Pre-shared keys in commit order (§8.4).
  std::vector<PskInput> psk_inputs;
  // Without a PSK source (no resumption PSKs kept, no external table given)
  // the group takes no pre-shared keys at all.
  if (!psks.empty() && cur.config.number_of_resumption_psks == 0 && receive_.external_psks.empty())
    return Err(Error(ErrorCode::UnsupportedProposal, "this group takes no pre-shared keys"));
  for (const CommittedProposal* cp : psks) {
    const PreSharedKeyId& id = std::get<PreSharedKey>(cp->proposal.body).psk;
    if (id.psk_nonce.size() != kNh) return Err(commit_error("a PSK nonce has the wrong size"));
    for (const PskInput& seen : psk_inputs)
      if (seen.id == id) return Err(commit_error("two PreSharedKey proposals name one PSK"));
    if (const auto* ext = std::get_if<ExternalPsk>(&id.psk)) {
      const ExternalPskEntry* entry = nullptr;
      for (const ExternalPskEntry& e : receive_.external_psks)
        if (e.psk_id == ext->psk_id) entry = &e;
      if (!entry) return Err(commit_error("unknown external PSK " + hex_encode(ext->psk_id)));
      psk_inputs.push_back({id, entry->psk});
      continue;
    }
    const auto& res = std::get<ResumptionPsk>(id.psk);
    if (res.usage != ResumptionPskUsage::application)
      return Err(commit_error("a resumption PSK for reinitialisation or branching"));
    if (res.psk_group_id != cur.context.group_id)
      return Err(Error(ErrorCode::UnsupportedProposal, "a resumption PSK of another group"));
    const EpochResumptionPsk* kept = nullptr;
    for (const EpochResumptionPsk& r : cur.resumption_psks)
      if (r.epoch == res.psk_epoch) kept = &r;
    if (!kept)
      return Err(commit_error("no resumption PSK kept for epoch " + std::to_string(res.psk_epoch)));
    psk_inputs.push_back({id, kept->secret.view()});
  }
  BRENVIK_TRY(crypto::SecretBytes psk_secret, compute_psk_secret(psk_inputs));

  if (!reinits.empty()) {
    const ReInit& r = std::get<ReInit>(reinits[0]->proposal.body);
    if (r.version < ProtocolVersion::mls10)
      return Err(commit_error("a ReInit to an earlier protocol version"));
    staged.reinit_ = r;
  }

  crypto::SecretBytes commit_secret(zero_secret());
  if (commit.path) {
    const LeafNode& pl = commit.path->leaf_node;
    auto lv = validate_leaf_node(pl, cur.context.group_id, committer);
    if (!lv.ok()) return Err(commit_error("update path leaf: " + lv.error().message()));
    if (signature_key_elsewhere(next.tree, pl.signature_key, committer))
      return Err(commit_error("update path leaf: signature key belongs to another member"));
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
    next.resumption_psks.clear();
    next.secret_tree =
        SecretTree(zero_secret(), next.tree.leaf_count(), next.config.sender_ratchet);
    next.interim_transcript_hash = interim_transcript_hash(confirmed, *ac.auth.confirmation_tag);
    next.confirmation_tag = *ac.auth.confirmation_tag;
    staged.next_ = std::move(next);
    return staged;
  }
  BRENVIK_TRY(EpochSecrets es,
              derive_epoch_secrets(cur.secrets.init_secret.view(), commit_secret.view(),
                                   psk_secret.view(), tls_encode(next.context)));
  if (!verify_confirmation_tag(es.confirmation_key.view(), confirmed, *ac.auth.confirmation_tag))
    return Err(Error(ErrorCode::InvalidConfirmationTag));
  next.interim_transcript_hash = interim_transcript_hash(confirmed, *ac.auth.confirmation_tag);
  next.confirmation_tag = *ac.auth.confirmation_tag;
  next.secret_tree =
      SecretTree(es.encryption_secret.view(), next.tree.leaf_count(), next.config.sender_ratchet);
  next.secrets = keys_from(std::move(es));
  remember_resumption_psk(next);
  if (staged.reinit_) {
    // The group ends here (§11.2): its last epoch stays readable, and the
    // members continue in the new group the ReInit describes.
    next.active = false;
    next.reinitialised = true;
  }
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

Result<void, Error> Group::keep_proposal(const ProposalReceived& proposal) {
  std::lock_guard lock(mu_);
  if (!state_.active) return Err(Error(ErrorCode::GroupInactive));
  if (!state_.config.keep_proposals) return Err(argument_error("this group keeps no proposals"));
  const FramedContent& fc = proposal.content.content;
  if (fc.content_type() != ContentType::proposal || !fc.sender.leaf_index())
    return Err(argument_error("not a member's proposal"));
  if (fc.group_id != state_.context.group_id || fc.epoch != state_.context.epoch)
    return Err(argument_error("the proposal belongs to another group or epoch"));
  // The reference is computed here rather than taken from the caller, so a
  // commit can only ever name what was processed.
  ProposalRef ref = make_proposal_ref(tls_encode(proposal.content));
  for (const CachedProposal& c : state_.proposals)
    if (c.ref == ref) return {};
  state_.proposals.push_back({std::move(ref), proposal.content});
  return {};
}

std::vector<CachedProposal> Group::kept_proposals() const {
  std::lock_guard lock(mu_);
  return state_.proposals;
}

void Group::set_receive_options(ReceiveOptions options) {
  std::lock_guard lock(mu_);
  receive_ = std::move(options);
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
  auto valid =
      validate_tree_for_join(*tree, ctx.group_id, options.now, options.check_received_lifetimes);
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
  remember_resumption_psk(s);
  sw.signer_ = gi->signer;
  return sw;
}

}  // namespace brenvik::rfc9420
