// Groups of in-memory members: creation, adds with Welcome, removals,
// self-updates and application messages, with every member checking that
// it derived the same epoch as the others.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <thread>

#include "rfc9420/cipher_suite.h"
#include "rfc9420/group.h"
#include "rfc9420/message_protection.h"
#include "rfc9420/stored_group.h"

namespace brenvik::rfc9420 {
namespace {

constexpr uint64_t kNow = 1'800'000'000;

struct Client {
  explicit Client(std::string n) : name(std::move(n)) {}
  std::string name;
  crypto::Ed25519PrivateKey signer = *crypto::Ed25519PrivateKey::generate();
  std::optional<Group> group;

  CredentialWithKey credential() const { return basic_credential(as_bytes(name), signer); }
  KeyPackageWithKeys key_package() const { return *build_key_package(credential(), signer, kNow); }
};

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Every member with a group is at the same epoch with the same authenticator.
void expect_agreement(const std::vector<Client*>& members) {
  ASSERT_FALSE(members.empty());
  const Group& first = *members[0]->group;
  for (const Client* c : members) {
    EXPECT_EQ(c->group->epoch(), first.epoch()) << c->name;
    EXPECT_TRUE(c->group->epoch_authenticator() == first.epoch_authenticator()) << c->name;
    EXPECT_EQ(c->group->context(), first.context()) << c->name;
  }
}

// Processes `commit` at each member and merges it.
void deliver_commit(const MlsMessage& commit, const std::vector<Client*>& receivers) {
  for (Client* c : receivers) {
    auto p = c->group->process_message(commit, kNow);
    ASSERT_TRUE(p.ok()) << c->name << ": " << p.error().message();
    auto* staged = std::get_if<StagedCommit>(&p->content);
    ASSERT_NE(staged, nullptr) << c->name;
    ASSERT_TRUE(c->group->merge_staged_commit(std::move(*staged)).ok()) << c->name;
  }
}

void join(Client& c, const KeyPackageWithKeys& kp, const MlsMessage& welcome,
          GroupConfig config = {}) {
  const Welcome* w = welcome.get<Welcome>();
  ASSERT_NE(w, nullptr);
  auto staged = stage_welcome(*w, kp, WelcomeOptions{kNow, config, std::nullopt, {}});
  ASSERT_TRUE(staged.ok()) << c.name << ": " << staged.error().message();
  auto g = std::move(*staged).into_group();
  ASSERT_TRUE(g.ok()) << g.error().message();
  c.group.emplace(std::move(*g));
}

TEST(Group, CreateAddMessageSelfUpdateRemove) {
  Client alice("alice"), bob("bob"), carol("carol");
  auto g = Group::create(text("group:1"), alice.credential(), alice.signer, kNow);
  ASSERT_TRUE(g.ok()) << g.error().message();
  alice.group.emplace(std::move(*g));
  EXPECT_EQ(alice.group->epoch(), 0u);

  // Alice adds Bob.
  auto bob_kp = bob.key_package();
  std::vector<KeyPackage> kps{bob_kp.key_package};
  auto add = alice.group->add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok()) << add.error().message();
  ASSERT_TRUE(add->welcome);
  join(bob, bob_kp, *add->welcome);
  expect_agreement({&alice, &bob});
  EXPECT_EQ(bob.group->own_leaf_index(), 1u);
  ASSERT_EQ(bob.group->members().size(), 2u);
  EXPECT_EQ(bob.group->members()[0].identity, text("alice"));

  // Messages both ways, in and out of order.
  auto m1 = alice.group->create_application_message(as_bytes("hello"), alice.signer);
  auto m2 = alice.group->create_application_message(as_bytes("again"), alice.signer);
  ASSERT_TRUE(m1.ok() && m2.ok());
  for (const auto* m : {&*m2, &*m1}) {
    auto p = bob.group->process_message(*m, kNow);
    ASSERT_TRUE(p.ok()) << p.error().message();
    ASSERT_TRUE(std::holds_alternative<ApplicationData>(p->content));
    EXPECT_EQ(p->sender.leaf_index(), 0u);
  }
  auto reply = bob.group->create_application_message(as_bytes("hi"), bob.signer, as_bytes("aad"));
  auto got = alice.group->process_message(*reply, kNow);
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(std::get<ApplicationData>(got->content).data, text("hi"));
  EXPECT_EQ(got->authenticated_data, text("aad"));

  // Bob adds Carol; Alice processes the commit.
  auto carol_kp = carol.key_package();
  std::vector<KeyPackage> kps2{carol_kp.key_package};
  auto add2 = bob.group->add_members(kps2, bob.signer, kNow);
  ASSERT_TRUE(add2.ok()) << add2.error().message();
  {
    auto p = alice.group->process_message(add2->commit, kNow);
    ASSERT_TRUE(p.ok()) << p.error().message();
    auto& staged = std::get<StagedCommit>(p->content);
    EXPECT_EQ(staged.committer(), 1u);
    ASSERT_NE(staged.update_path_leaf(), nullptr);
    ASSERT_EQ(staged.proposals().size(), 1u);
    EXPECT_EQ(staged.proposals()[0].proposal.type(), proposal_type::add);
    EXPECT_EQ(staged.proposals()[0].sender, 1u);
    EXPECT_FALSE(staged.self_removed());
    ASSERT_TRUE(alice.group->merge_staged_commit(std::move(staged)).ok());
  }
  join(carol, carol_kp, *add2->welcome);
  expect_agreement({&alice, &bob, &carol});

  // Carol refreshes her keys.
  auto upd = carol.group->self_update(carol.signer);
  ASSERT_TRUE(upd.ok()) << upd.error().message();
  EXPECT_FALSE(upd->welcome);
  deliver_commit(upd->commit, {&alice, &bob});
  expect_agreement({&alice, &bob, &carol});

  // Alice removes Bob; Bob learns he is out.
  std::vector<uint32_t> victims{1};
  auto rem = alice.group->remove_members(victims, alice.signer);
  ASSERT_TRUE(rem.ok()) << rem.error().message();
  deliver_commit(rem->commit, {&carol});
  expect_agreement({&alice, &carol});
  {
    auto p = bob.group->process_message(rem->commit, kNow);
    ASSERT_TRUE(p.ok()) << p.error().message();
    auto& staged = std::get<StagedCommit>(p->content);
    EXPECT_TRUE(staged.self_removed());
    ASSERT_TRUE(bob.group->merge_staged_commit(std::move(staged)).ok());
    EXPECT_FALSE(bob.group->active());
    EXPECT_EQ(bob.group->create_application_message(as_bytes("x"), bob.signer).error().code(),
              ErrorCode::GroupInactive);
  }
  EXPECT_EQ(alice.group->members().size(), 2u);

  auto last = carol.group->create_application_message(as_bytes("bye"), carol.signer);
  auto at_alice = alice.group->process_message(*last, kNow);
  ASSERT_TRUE(at_alice.ok()) << at_alice.error().message();
  EXPECT_EQ(std::get<ApplicationData>(at_alice->content).data, text("bye"));
}

// Two threads encrypting through one Group never share a generation: every
// message decrypts exactly once at the receiver.
TEST(Group, ConcurrentEncryptionsUseDistinctGenerations) {
  Client alice("alice"), bob("bob");
  alice.group.emplace(*Group::create(text("g"), alice.credential(), alice.signer, kNow));
  auto kp = bob.key_package();
  std::vector<KeyPackage> kps{kp.key_package};
  auto add = alice.group->add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok());
  // The receiver tolerates any order, so that a generation handed out twice
  // shows up as a message that fails to decrypt.
  GroupConfig wide;
  wide.sender_ratchet.out_of_order_tolerance = 1000;
  join(bob, kp, *add->welcome, wide);

  constexpr int kPerThread = 200;
  std::vector<MlsMessage> a, b;
  auto run = [&](std::vector<MlsMessage>& out) {
    for (int i = 0; i < kPerThread; ++i)
      out.push_back(*alice.group->create_application_message(as_bytes("m"), alice.signer));
  };
  std::thread t1(run, std::ref(a)), t2(run, std::ref(b));
  t1.join();
  t2.join();
  for (auto* list : {&a, &b})
    for (const auto& m : *list) {
      auto p = bob.group->process_message(m, kNow);
      ASSERT_TRUE(p.ok()) << p.error().message();
    }
}

// Re-signs a key package after `edit` changed it.
KeyPackage resign(KeyPackage kp, const crypto::Ed25519PrivateKey& signer) {
  kp.leaf_node.signature =
      *sign_with_label(signer, "LeafNodeTBS", leaf_node_tbs(kp.leaf_node, std::nullopt));
  kp.signature = *sign_with_label(signer, "KeyPackageTBS", key_package_tbs(kp));
  return kp;
}

TEST(KeyPackageOps, BuildAndValidate) {
  Client c("carol");
  auto built = c.key_package();
  const Lifetime* lt = built.key_package.leaf_node.lifetime();
  ASSERT_NE(lt, nullptr);
  EXPECT_EQ(lt->not_before, kNow - 3600);
  EXPECT_EQ(lt->not_after, kNow + 30 * 24 * 3600);
  EXPECT_EQ(*built.key_package.leaf_node.credential.basic_identity(), text("carol"));
  EXPECT_TRUE(built.key_package.extensions.empty());

  struct Case {
    const char* what;
    std::function<KeyPackage(KeyPackage)> edit;
    uint64_t now;
    std::optional<ErrorCode> error;
    std::string detail;
  };
  auto with_window = [&](uint64_t from, uint64_t to) {
    return [&, from, to](KeyPackage kp) {
      kp.leaf_node.source = Lifetime{from, to};
      return resign(kp, c.signer);
    };
  };
  auto same = [](KeyPackage kp) { return kp; };
  const uint64_t day = 24 * 3600;
  std::vector<Case> cases = {
      {"fresh", same, kNow, std::nullopt, ""},
      {"just opened", same, kNow - 3600, std::nullopt, ""},
      {"not started", same, kNow - 3601, ErrorCode::KeyPackageLifetime, "not yet valid"},
      {"closed", same, kNow + 30 * day, ErrorCode::KeyPackageLifetime, "expired"},
      {"90-day window", with_window(kNow, kNow + 90 * day), kNow, std::nullopt, ""},
      {"wider than 90 days", with_window(kNow, kNow + 90 * day + 1), kNow,
       ErrorCode::InvalidKeyPackage, ""},
      {"bad package signature",
       [](KeyPackage kp) {
         kp.signature[0] ^= 1;
         return kp;
       },
       kNow, ErrorCode::InvalidKeyPackage, ""},
      {"edited after signing",
       [](KeyPackage kp) {
         kp.init_key[0] ^= 1;
         return kp;
       },
       kNow, ErrorCode::InvalidKeyPackage, ""},
      {"other suite",
       [&](KeyPackage kp) {
         kp.cipher_suite = 2;
         return resign(kp, c.signer);
       },
       kNow, ErrorCode::InvalidKeyPackage, ""},
      {"init key is the leaf key",
       [&](KeyPackage kp) {
         kp.init_key = kp.leaf_node.encryption_key;
         return resign(kp, c.signer);
       },
       kNow, ErrorCode::InvalidKeyPackage, ""},
      {"update-sourced leaf",
       [&](KeyPackage kp) {
         kp.leaf_node.source = UpdateSource{};
         kp.signature = *sign_with_label(c.signer, "KeyPackageTBS", key_package_tbs(kp));
         return kp;
       },
       kNow, ErrorCode::InvalidKeyPackage, ""},
  };
  for (const auto& tc : cases) {
    KeyPackage kp = tc.edit(built.key_package);
    auto r = decode_and_validate_key_package(tls_encode(kp), tc.now);
    if (!tc.error) {
      EXPECT_TRUE(r.ok()) << tc.what << ": " << r.error().message();
      continue;
    }
    ASSERT_FALSE(r.ok()) << tc.what;
    EXPECT_EQ(r.error().code(), *tc.error) << tc.what << ": " << r.error().message();
    if (!tc.detail.empty()) {
      EXPECT_EQ(r.error().detail(), tc.detail) << tc.what;
    }
  }
  EXPECT_TRUE(lifetime_expired(built.key_package, kNow + 30 * day));
  EXPECT_FALSE(lifetime_expired(built.key_package, kNow - 7200));

  Bytes trailing = tls_encode(built.key_package);
  trailing.push_back(0);
  EXPECT_EQ(decode_and_validate_key_package(trailing, kNow).error().code(), ErrorCode::Codec);
  // The reference is the RFC's hash of the encoded package.
  EXPECT_EQ(make_key_package_ref(built.key_package),
            make_key_package_ref(tls_encode(built.key_package)));
}

// A commit built by hand by member `s` (leaf 0) of its current epoch.
MlsMessage forge_commit(GroupMemberState s, Commit commit,
                        const crypto::Ed25519PrivateKey& signer) {
  FramedContent fc;
  fc.group_id = s.context.group_id;
  fc.epoch = s.context.epoch;
  fc.sender = Sender::member(s.keys.own_leaf());
  fc.content = CommitContent{std::move(commit)};
  auto ac = *sign_content(WireFormat::private_message, std::move(fc), signer, s.context);
  ac.auth.confirmation_tag = Bytes(kNh, 0);
  MlsMessage m;
  m.body = tls::Case<WireFormat::private_message, PrivateMessage>{
      *protect_private(ac, s.secret_tree, s.secrets.sender_data_secret.view())};
  return m;
}

TEST(Group, CommitsBreakingTheRulesAreRefused) {
  Client alice("alice"), bob("bob");
  alice.group.emplace(*Group::create(text("g"), alice.credential(), alice.signer, kNow));
  auto kp = bob.key_package();
  std::vector<KeyPackage> kps{kp.key_package};
  auto add = alice.group->add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok());
  join(bob, kp, *add->welcome);

  auto path = *alice.group->snapshot().tree.leaf(0);  // any leaf: refused before path checks
  UpdatePath some_path{path, {}};
  struct Case {
    const char* what;
    Commit commit;
    ErrorCode error;
  };
  std::vector<Case> cases = {
      {"proposal by reference", Commit{{ProposalOrRef::by_reference(Bytes(32, 7))}, some_path},
       ErrorCode::UnsupportedProposal},
      {"PSK proposal",
       Commit{{ProposalOrRef::inline_proposal(Proposal{PreSharedKey{}})}, some_path},
       ErrorCode::UnsupportedProposal},
      {"empty commit without path", Commit{}, ErrorCode::InvalidCommit},
      {"remove without path", Commit{{ProposalOrRef::inline_proposal(Proposal{Remove{1}})}, {}},
       ErrorCode::InvalidCommit},
      {"committer removes itself",
       Commit{{ProposalOrRef::inline_proposal(Proposal{Remove{0}})}, some_path},
       ErrorCode::InvalidCommit},
      {"inline update", Commit{{ProposalOrRef::inline_proposal(Proposal{Update{path}})}, some_path},
       ErrorCode::InvalidCommit},
      {"ReInit with another proposal",
       Commit{{ProposalOrRef::inline_proposal(Proposal{ReInit{}}),
               ProposalOrRef::inline_proposal(Proposal{Remove{1}})},
              some_path},
       ErrorCode::InvalidCommit},
      {"ExternalInit in a member's commit",
       Commit{{ProposalOrRef::inline_proposal(Proposal{ExternalInit{}})}, some_path},
       ErrorCode::InvalidCommit},
      {"two GroupContextExtensions",
       Commit{{ProposalOrRef::inline_proposal(Proposal{GroupContextExtensions{}}),
               ProposalOrRef::inline_proposal(Proposal{GroupContextExtensions{}})},
              some_path},
       ErrorCode::InvalidCommit},
  };
  for (auto& tc : cases) {
    MlsMessage m = forge_commit(alice.group->snapshot(), tc.commit, alice.signer);
    auto r = bob.group->process_message(m, kNow);
    ASSERT_FALSE(r.ok()) << tc.what;
    EXPECT_EQ(r.error().code(), tc.error) << tc.what << ": " << r.error().message();
  }
  EXPECT_EQ(bob.group->epoch(), 1u);
  // A forged confirmation tag on an otherwise sound commit.
  {
    Group copy(alice.group->snapshot());
    auto real = copy.self_update(alice.signer);
    ASSERT_TRUE(real.ok());
    // Bob still accepts the real one, so the refusals above left him intact.
    auto p = bob.group->process_message(real->commit, kNow);
    EXPECT_TRUE(p.ok()) << p.error().message();
  }
  // A member's own messages are not processed back.
  auto own = bob.group->create_application_message(as_bytes("me"), bob.signer);
  // (its generation was used to send it).
  EXPECT_FALSE(bob.group->process_message(*own, kNow).ok());
}

// A handshake message as a PublicMessage from member `s` of its epoch.
MlsMessage forge_public(const GroupMemberState& s, Content content,
                        const crypto::Ed25519PrivateKey& signer) {
  FramedContent fc;
  fc.group_id = s.context.group_id;
  fc.epoch = s.context.epoch;
  fc.sender = Sender::member(s.keys.own_leaf());
  fc.content = std::move(content);
  auto ac = *sign_content(WireFormat::public_message, std::move(fc), signer, s.context);
  if (ac.content.content_type() == ContentType::commit) ac.auth.confirmation_tag = Bytes(kNh, 0);
  MlsMessage m;
  m.body = tls::Case<WireFormat::public_message, PublicMessage>{
      *protect_public(ac, s.secrets.membership_key.view(), s.context)};
  return m;
}

// The library's configuration refuses what only a client following other
// implementations' groups takes: PublicMessage handshakes, kept proposals
// and expired received leaves. The follower's policy takes each of them.
TEST(Group, DefaultPolicyRefusesWhatAFollowerTakes) {
  Client alice("alice"), bob("bob"), bob2("bob2");
  alice.group.emplace(*Group::create(text("g"), alice.credential(), alice.signer, kNow));
  auto kp = bob.key_package();
  auto kp2 = bob2.key_package();
  std::vector<KeyPackage> kps{kp.key_package, kp2.key_package};
  auto add = alice.group->add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok());
  join(bob, kp, *add->welcome);  // the library's policy
  GroupConfig follower;
  follower.incoming = IncomingWireFormatPolicy::Mixed;
  follower.keep_proposals = true;
  join(bob2, kp2, *add->welcome, follower);

  const GroupMemberState a = alice.group->snapshot();
  MlsMessage proposal = forge_public(a, ProposalContent{Proposal{Remove{2}}}, alice.signer);
  MlsMessage commit = forge_public(a, CommitContent{Commit{}}, alice.signer);
  for (const MlsMessage* m : {&proposal, &commit}) {
    auto r = bob.group->process_message(*m, kNow);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().code(), ErrorCode::InvalidContent) << r.error().message();
  }
  auto taken = bob2.group->process_message(proposal, kNow);
  ASSERT_TRUE(taken.ok()) << taken.error().message();
  auto* received = std::get_if<ProposalReceived>(&taken->content);
  ASSERT_NE(received, nullptr);
  EXPECT_EQ(taken->wire_format, WireFormat::public_message);
  ASSERT_TRUE(bob2.group->keep_proposal(*received).ok());
  ASSERT_TRUE(bob2.group->keep_proposal(*received).ok());  // kept once
  EXPECT_EQ(bob2.group->kept_proposals().size(), 1u);
  EXPECT_EQ(bob2.group->kept_proposals()[0].ref, received->ref);
  EXPECT_EQ(bob.group->keep_proposal(*received).error().code(), ErrorCode::InvalidArgument);

  // A flipped membership tag is refused even where PublicMessage is taken.
  PublicMessage damaged = *proposal.get<PublicMessage>();
  (*damaged.membership_tag)[0] ^= 1;
  MlsMessage dm;
  dm.body = tls::Case<WireFormat::public_message, PublicMessage>{damaged};
  EXPECT_EQ(bob2.group->process_message(dm, kNow).error().code(), ErrorCode::InvalidMembershipTag);

  // An Add whose key package expired by the time it is received. The
  // epoch change empties the follower's kept proposals.
  Client carol("carol");
  const uint64_t then = kNow - 31 * 24 * 3600;
  auto old_kp = *build_key_package(carol.credential(), carol.signer, then);
  std::vector<KeyPackage> late{old_kp.key_package};
  auto late_add = alice.group->add_members(late, alice.signer, then + 10);
  ASSERT_TRUE(late_add.ok()) << late_add.error().message();
  auto refused = bob.group->process_message(late_add->commit, kNow);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code(), ErrorCode::InvalidCommit);
  EXPECT_NE(refused.error().message().find("expired"), std::string::npos);
  ReceiveOptions lax;
  lax.check_received_lifetimes = false;
  bob2.group->set_receive_options(lax);
  auto accepted = bob2.group->process_message(late_add->commit, kNow);
  ASSERT_TRUE(accepted.ok()) << accepted.error().message();
  ASSERT_TRUE(
      bob2.group->merge_staged_commit(std::move(std::get<StagedCommit>(accepted->content))).ok());
  EXPECT_TRUE(bob2.group->epoch_authenticator() == alice.group->epoch_authenticator());
  EXPECT_TRUE(bob2.group->kept_proposals().empty());
}

// A pathless commit of member `s` that changes nothing in the tree, with a
// true confirmation tag; returns it with the epoch authenticator it leads to.
std::pair<MlsMessage, Bytes> forge_pathless_commit(GroupMemberState s, Commit commit,
                                                   const crypto::Ed25519PrivateKey& signer) {
  FramedContent fc;
  fc.group_id = s.context.group_id;
  fc.epoch = s.context.epoch;
  fc.sender = Sender::member(s.keys.own_leaf());
  fc.content = CommitContent{std::move(commit)};
  auto ac = *sign_content(WireFormat::private_message, std::move(fc), signer, s.context);
  GroupContext next = s.context;
  next.epoch += 1;
  next.tree_hash = s.tree.tree_hash();
  next.confirmed_transcript_hash = confirmed_transcript_hash(s.interim_transcript_hash, ac);
  const Bytes zero(kNh, 0);
  auto es = *derive_epoch_secrets(s.secrets.init_secret.view(), zero, zero, tls_encode(next));
  ac.auth.confirmation_tag =
      confirmation_tag(es.confirmation_key.view(), next.confirmed_transcript_hash);
  MlsMessage m;
  m.body = tls::Case<WireFormat::private_message, PrivateMessage>{
      *protect_private(ac, s.secret_tree, s.secrets.sender_data_secret.view())};
  return {m, Bytes(es.epoch_authenticator.view().begin(), es.epoch_authenticator.view().end())};
}

// A committed ReInit (RFC 9420 §11.2) merges, leaves its epoch
// authenticator readable (also from storage), and ends the group.
TEST(Group, ReInitCommitEndsTheGroup) {
  Client alice("alice"), bob("bob");
  alice.group.emplace(*Group::create(text("g"), alice.credential(), alice.signer, kNow));
  auto kp = bob.key_package();
  std::vector<KeyPackage> kps{kp.key_package};
  auto add = alice.group->add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok());
  join(bob, kp, *add->welcome);

  ReInit reinit{text("g-next"), ProtocolVersion::mls10, kSuite, {}};
  auto [commit, authenticator] = forge_pathless_commit(
      alice.group->snapshot(), Commit{{ProposalOrRef::inline_proposal(Proposal{reinit})}, {}},
      alice.signer);
  auto p = bob.group->process_message(commit, kNow);
  ASSERT_TRUE(p.ok()) << p.error().message();
  auto& staged = std::get<StagedCommit>(p->content);
  ASSERT_NE(staged.reinit(), nullptr);
  EXPECT_EQ(staged.reinit()->group_id, text("g-next"));
  EXPECT_FALSE(staged.self_removed());
  ASSERT_TRUE(bob.group->merge_staged_commit(std::move(staged)).ok());
  EXPECT_EQ(bob.group->epoch(), 2u);
  crypto::SecretBytes reached = bob.group->epoch_authenticator();
  EXPECT_EQ(Bytes(reached.view().begin(), reached.view().end()), authenticator);
  EXPECT_FALSE(bob.group->active());
  EXPECT_EQ(bob.group->self_update(bob.signer).error().code(), ErrorCode::GroupInactive);
  EXPECT_EQ(bob.group->process_message(commit, kNow).error().code(), ErrorCode::GroupInactive);
  auto back = from_persisted(to_persisted(bob.group->snapshot()), {});
  ASSERT_TRUE(back.ok()) << back.error().message();
  Group reloaded(std::move(*back));
  EXPECT_FALSE(reloaded.active());
  EXPECT_TRUE(reloaded.epoch_authenticator() == bob.group->epoch_authenticator());
}

TEST(Group, WelcomeNamingExternalSendersIsStagedButNotJoined) {
  Client alice("alice"), bob("bob");
  auto created = Group::create(text("g"), alice.credential(), alice.signer, kNow);
  ASSERT_TRUE(created.ok());
  EXPECT_FALSE(Group::create(text("g"), alice.credential(), alice.signer, kNow, {},
                             {Extension{extension_type::external_senders, {}}})
                   .ok());
  // A group that somehow carries the extension (another implementation made
  // it) cannot be joined through this engine.
  GroupMemberState s = created->snapshot();
  s.context.extensions.push_back({extension_type::external_senders, {}});
  Group odd(std::move(s));
  auto kp = bob.key_package();
  std::vector<KeyPackage> kps{kp.key_package};
  auto add = odd.add_members(kps, alice.signer, kNow);
  ASSERT_TRUE(add.ok()) << add.error().message();
  auto staged = stage_welcome(*add->welcome->get<Welcome>(), kp, WelcomeOptions{kNow, {}, {}, {}});
  ASSERT_TRUE(staged.ok()) << staged.error().message();
  ASSERT_NE(find_extension(staged->group_context_extensions(), extension_type::external_senders),
            nullptr);
  EXPECT_EQ(staged->group_id(), text("g"));
  EXPECT_EQ(staged->members().size(), 2u);
  EXPECT_EQ(std::move(*staged).into_group().error().code(), ErrorCode::InvalidWelcome);
}

}  // namespace
}  // namespace brenvik::rfc9420
