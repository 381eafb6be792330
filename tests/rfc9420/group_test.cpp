// Groups of in-memory members: creation, adds with Welcome, removals,
// self-updates and application messages, with every member checking that
// it derived the same epoch as the others.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "rfc9420/group.h"

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

}  // namespace
}  // namespace brenvik::rfc9420
