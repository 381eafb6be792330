// Members that keep nothing in memory: every operation opens the group from
// the member's own storage, works, and writes it back. Groups of 2, 3 and
// 16 members add, remove, self-update and exchange messages this way; the
// members agree on the epoch authenticator at every epoch.
#include <gtest/gtest.h>

#include <thread>

#include "rfc9420/stored_group.h"

namespace brenvik::rfc9420 {
namespace {

constexpr uint64_t kNow = 1'800'000'000;

struct Device {
  explicit Device(std::string n) : name(std::move(n)) {}
  std::string name;
  crypto::Ed25519PrivateKey signer = *crypto::Ed25519PrivateKey::generate();
  MemoryStorageProvider storage;
  bool in_group = false;

  CredentialWithKey credential() const { return basic_credential(as_bytes(name), signer); }
  StoredGroup open(ByteView group_id) {
    auto g = StoredGroup::open(storage, group_id);
    EXPECT_TRUE(g.ok()) << name << ": " << g.error().message();
    EXPECT_TRUE(*g) << name << ": group not stored";
    return std::move(**g);
  }
};

Bytes bytes_of(const crypto::SecretBytes& s) {
  return Bytes(s.view().begin(), s.view().end());
}

class StoredGroupFixture {
 public:
  StoredGroupFixture(size_t n, std::string id) : group_id_(id.begin(), id.end()) {
    for (size_t i = 0; i < n; ++i)
      devices_.push_back(std::make_unique<Device>("member-" + std::to_string(i)));
  }

  Device& at(size_t i) { return *devices_[i]; }
  ByteView id() const { return group_id_; }

  void create(size_t creator) {
    Device& d = at(creator);
    auto g = StoredGroup::create(d.storage, group_id_, d.credential(), d.signer, kNow);
    ASSERT_TRUE(g.ok()) << g.error().message();
    d.in_group = true;
  }

  // Every other member processes and merges the commit from storage.
  void deliver_commit(size_t committer, const MlsMessage& commit) {
    for (auto& d : devices_) {
      if (!d->in_group || d.get() == &at(committer)) continue;
      StoredGroup g = d->open(group_id_);
      auto p = g.process_message(commit, kNow);
      ASSERT_TRUE(p.ok()) << d->name << ": " << p.error().message();
      auto* staged = std::get_if<StagedCommit>(&p->content);
      ASSERT_NE(staged, nullptr);
      bool removed = staged->self_removed();
      ASSERT_TRUE(g.merge_staged_commit(std::move(*staged)).ok()) << d->name;
      if (removed) d->in_group = false;
    }
  }

  void add(size_t committer, size_t joiner) {
    Device& j = at(joiner);
    auto kp = generate_stored_key_package(j.storage, j.credential(), j.signer, kNow);
    ASSERT_TRUE(kp.ok());
    std::vector<KeyPackage> kps{kp->key_package};
    CommitOutput out;
    {
      StoredGroup g = at(committer).open(group_id_);
      auto r = g.add_members(kps, at(committer).signer, kNow);
      ASSERT_TRUE(r.ok()) << r.error().message();
      out = std::move(*r);
    }
    deliver_commit(committer, out.commit);
    ASSERT_TRUE(out.welcome);
    auto staged = stage_stored_welcome(j.storage, *out.welcome->get<Welcome>(),
                                       WelcomeOptions{kNow, {}, std::nullopt, {}});
    ASSERT_TRUE(staged.ok()) << staged.error().message();
    EXPECT_EQ(staged->staged.group_id(), group_id_);
    EXPECT_EQ(staged->staged.members().size(), member_count() + 1);  // the joiner too
    auto joined = StoredGroup::join(j.storage, std::move(staged->staged), staged->key_package_ref);
    ASSERT_TRUE(joined.ok()) << joined.error().message();
    j.in_group = true;
    // Joining spent the key package.
    EXPECT_EQ(j.storage.count(store_label::key_package), 0u);
  }

  void remove(size_t committer, size_t victim) {
    uint32_t leaf = 0;
    {
      StoredGroup vg = at(victim).open(group_id_);
      leaf = vg.group().own_leaf_index();
    }
    std::vector<uint32_t> leaves{leaf};
    CommitOutput out;
    {
      StoredGroup g = at(committer).open(group_id_);
      auto r = g.remove_members(leaves, at(committer).signer);
      ASSERT_TRUE(r.ok()) << r.error().message();
      out = std::move(*r);
    }
    deliver_commit(committer, out.commit);
    EXPECT_FALSE(at(victim).in_group);
  }

  void self_update(size_t member) {
    CommitOutput out;
    {
      StoredGroup g = at(member).open(group_id_);
      auto r = g.self_update(at(member).signer);
      ASSERT_TRUE(r.ok()) << r.error().message();
      out = std::move(*r);
    }
    deliver_commit(member, out.commit);
  }

  // Each member sends one message that every other member reads.
  void exchange_messages() {
    for (auto& s : devices_) {
      if (!s->in_group) continue;
      std::string text = "from " + s->name;
      MlsMessage m;
      {
        StoredGroup g = s->open(group_id_);
        auto r = g.create_application_message(as_bytes(text), s->signer);
        ASSERT_TRUE(r.ok()) << r.error().message();
        // The message crosses the wire as bytes.
        auto decoded = decode_mls_message(encode_mls_message(*r));
        ASSERT_TRUE(decoded.ok());
        m = std::move(*decoded);
      }
      for (auto& r : devices_) {
        if (!r->in_group || r == s) continue;
        StoredGroup g = r->open(group_id_);
        auto p = g.process_message(m, kNow);
        ASSERT_TRUE(p.ok()) << r->name << " from " << s->name << ": " << p.error().message();
        EXPECT_EQ(std::get<ApplicationData>(p->content).data, Bytes(text.begin(), text.end()));
      }
    }
  }

  size_t member_count() const {
    size_t n = 0;
    for (const auto& d : devices_) n += d->in_group;
    return n;
  }

  void expect_agreement() {
    std::optional<uint64_t> epoch;
    std::optional<Bytes> auth;
    for (auto& d : devices_) {
      if (!d->in_group) continue;
      StoredGroup g = d->open(group_id_);
      if (!epoch) {
        epoch = g.group().epoch();
        auth = bytes_of(g.group().epoch_authenticator());
      }
      EXPECT_EQ(g.group().epoch(), *epoch) << d->name;
      EXPECT_EQ(bytes_of(g.group().epoch_authenticator()), *auth) << d->name;
      EXPECT_EQ(g.group().members().size(), member_count()) << d->name;
    }
  }

 private:
  Bytes group_id_;
  std::vector<std::unique_ptr<Device>> devices_;
};

class StoredGroupSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(StoredGroupSizes, LifecycleFromStorageOnly) {
  const size_t n = GetParam();
  StoredGroupFixture f(n, "group:size-" + std::to_string(n));
  f.create(0);
  for (size_t i = 1; i < n; ++i) {
    // Committers rotate so that paths start from many leaves.
    f.add(i - 1, i);
    f.expect_agreement();
  }
  f.exchange_messages();
  f.self_update(n - 1);
  f.expect_agreement();
  f.exchange_messages();
  if (n > 2) {
    f.remove(0, 1);
    f.expect_agreement();
    f.exchange_messages();
    // The removed member's stored group is inactive and refuses to send.
    auto g = StoredGroup::open(f.at(1).storage, f.id());
    ASSERT_TRUE(g.ok()) << g.error().message();
    ASSERT_TRUE(*g);
    EXPECT_FALSE((*g)->group().active());
    EXPECT_EQ((*g)->create_application_message(as_bytes("x"), f.at(1).signer).error().code(),
              ErrorCode::GroupInactive);
  }
  f.self_update(0);
  f.expect_agreement();
  f.exchange_messages();
}

INSTANTIATE_TEST_SUITE_P(Members, StoredGroupSizes, ::testing::Values(2, 3, 16));

// Only the current epoch's key pairs stay stored: a merge deletes the
// previous epoch's, and deleting the group removes every record.
TEST(StoredGroup, EpochKeysFollowTheEpochAndDeletionClearsEverything) {
  StoredGroupFixture f(2, "group:keys");
  f.create(0);
  f.add(0, 1);
  f.self_update(0);
  MemoryStorageProvider& s = f.at(0).storage;
  EXPECT_EQ(s.count(store_label::encryption_epoch_key_pairs), 1u);
  EXPECT_TRUE(s.peek(store_label::encryption_epoch_key_pairs, epoch_key_digest(f.id(), 2, 0)));
  ASSERT_TRUE(delete_stored_group(s, f.id()).ok());
  EXPECT_EQ(s.size(), 0u);
  auto gone = StoredGroup::open(s, f.id());
  ASSERT_TRUE(gone.ok());
  EXPECT_FALSE(*gone);
}

// Every stored record of a group, for checking that a refused input wrote
// nothing.
struct StoredRecords {
  std::vector<std::optional<Bytes>> labels;
  size_t total = 0;
  bool operator==(const StoredRecords&) const = default;
};
StoredRecords stored_records(Device& d, ByteView group_id) {
  StoredRecords out;
  out.total = d.storage.size();
  for (std::string_view label :
       {store_label::tree, store_label::confirmation_tag, store_label::group_context,
        store_label::interim_transcript_hash, store_label::group_epoch_secrets,
        store_label::own_leaf_index, store_label::message_secrets,
        store_label::resumption_psk_store, store_label::join_config, store_label::group_state})
    out.labels.push_back(d.storage.peek(label, group_key_digest(group_id)));
  return out;
}

// Feeds `bytes` to the member's stored group: it must be refused, and the
// stored group must be exactly as before.
void expect_refused(Device& d, ByteView group_id, const Bytes& bytes, const std::string& what) {
  auto before = stored_records(d, group_id);
  auto m = decode_mls_message(bytes);
  if (m.ok()) {
    StoredGroup g = d.open(group_id);
    auto p = g.process_message(*m, kNow);
    EXPECT_FALSE(p.ok()) << what << " was accepted";
  }
  EXPECT_EQ(stored_records(d, group_id), before) << what << " changed the stored group";
}

// Mutations of one encoded message: every k-th byte with one bit flipped,
// and truncations.
std::vector<std::pair<std::string, Bytes>> mutations(const Bytes& in, size_t step) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (size_t i = 0; i < in.size(); i += step) {
    Bytes b = in;
    b[i] ^= uint8_t(1u << (i % 8));
    out.emplace_back("bit flip at " + std::to_string(i), std::move(b));
  }
  for (size_t len : {size_t{0}, size_t{1}, size_t{4}, in.size() / 2, in.size() - 1})
    out.emplace_back("truncated to " + std::to_string(len), Bytes(in.begin(), in.begin() + len));
  return out;
}

// Two threads sending through the same stored group: the group lock
// serialises load, encryption and save, so no generation is handed out
// twice and no save overwrites another's ratchet position.
TEST(StoredGroup, ConcurrentSendersThroughStorageNeverShareAGeneration) {
  StoredGroupFixture f(2, "group:threads");
  f.create(0);
  f.add(0, 1);
  constexpr int kPerThread = 40;
  std::vector<Bytes> a, b;
  auto run = [&](std::vector<Bytes>& out) {
    for (int i = 0; i < kPerThread; ++i) {
      StoredGroup g = f.at(0).open(f.id());
      out.push_back(
          encode_mls_message(*g.create_application_message(as_bytes("m"), f.at(0).signer)));
    }
  };
  std::thread t1(run, std::ref(a)), t2(run, std::ref(b));
  t1.join();
  t2.join();
  // A receiver that tolerates any order: a generation handed out twice
  // shows up as a message that does not decrypt.
  GroupMemberState st = f.at(1).open(f.id()).group().snapshot();
  SecretTreeState ts = st.secret_tree.state();
  ts.config.out_of_order_tolerance = 1000;
  st.secret_tree = *SecretTree::from_state(std::move(ts));
  Group receiver(std::move(st));
  int received = 0;
  for (const auto* list : {&a, &b})
    for (const Bytes& m : *list) {
      auto p = receiver.process_message(*decode_mls_message(m), kNow);
      EXPECT_TRUE(p.ok()) << p.error().message();
      received += p.ok();
    }
  EXPECT_EQ(received, 2 * kPerThread);
}

TEST(StoredGroupHostile, MutatedMessagesAndCommitsAreRefusedWithoutTrace) {
  StoredGroupFixture f(3, "group:hostile");
  f.create(0);
  f.add(0, 1);
  f.add(0, 2);
  Bytes app, commit;
  {
    StoredGroup g = f.at(0).open(f.id());
    app = encode_mls_message(*g.create_application_message(as_bytes("payload"), f.at(0).signer));
  }
  {
    // A commit that member 1 sends but never merges, so that the others can
    // be fed mutated copies of it in the epoch it belongs to.
    StoredGroup g = f.at(1).open(f.id());
    Group copy(g.group().snapshot());
    commit = encode_mls_message(copy.self_update(f.at(1).signer)->commit);
  }
  for (const auto& [what, bytes] : mutations(app, 5))
    expect_refused(f.at(2), f.id(), bytes, "application " + what);
  for (const auto& [what, bytes] : mutations(commit, 11))
    expect_refused(f.at(2), f.id(), bytes, "commit " + what);
  // The unmutated messages still go through afterwards.
  StoredGroup g = f.at(2).open(f.id());
  EXPECT_TRUE(g.process_message(*decode_mls_message(app), kNow).ok());
  EXPECT_TRUE(g.process_message(*decode_mls_message(commit), kNow).ok());
}

TEST(StoredGroupHostile, ReplayWrongEpochAndCommitFromRemovedMember) {
  StoredGroupFixture f(3, "group:replay");
  f.create(0);
  f.add(0, 1);
  f.add(0, 2);
  Bytes app;
  {
    StoredGroup g = f.at(1).open(f.id());
    app = encode_mls_message(*g.create_application_message(as_bytes("once"), f.at(1).signer));
  }
  {
    StoredGroup g = f.at(0).open(f.id());
    ASSERT_TRUE(g.process_message(*decode_mls_message(app), kNow).ok());
  }
  // Replay: the generation's key is gone.
  expect_refused(f.at(0), f.id(), app, "replayed message");
  {
    StoredGroup g = f.at(0).open(f.id());
    EXPECT_EQ(g.process_message(*decode_mls_message(app), kNow).error().code(),
              ErrorCode::SecretReused);
  }

  // Member 2 commits without merging... then is removed by member 0 in the
  // same epoch; its commit reaches the others after they moved on.
  Bytes stale_commit;
  {
    StoredGroup g = f.at(2).open(f.id());
    Group copy(g.group().snapshot());
    stale_commit = encode_mls_message(copy.self_update(f.at(2).signer)->commit);
  }
  Bytes old_app;
  {
    StoredGroup g = f.at(1).open(f.id());
    old_app = encode_mls_message(*g.create_application_message(as_bytes("late"), f.at(1).signer));
  }
  f.remove(0, 2);
  expect_refused(f.at(1), f.id(), stale_commit, "commit from a removed member");
  expect_refused(f.at(0), f.id(), old_app, "message of the previous epoch");
  StoredGroup g = f.at(1).open(f.id());
  auto r = g.process_message(*decode_mls_message(stale_commit), kNow);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code(), ErrorCode::EpochTooOld);
  EXPECT_EQ(r.error().message(), "The message is from an epoch too far in the past.");
}

TEST(StoredGroupHostile, MutatedWelcomesAreRefusedAndKeepTheKeyPackage) {
  StoredGroupFixture f(2, "group:welcome");
  f.create(0);
  Device& j = f.at(1);
  auto kp = generate_stored_key_package(j.storage, j.credential(), j.signer, kNow);
  ASSERT_TRUE(kp.ok());
  std::vector<KeyPackage> kps{kp->key_package};
  StoredGroup g = f.at(0).open(f.id());
  Group copy(g.group().snapshot());  // the stored group stays at epoch 0
  Bytes welcome = encode_mls_message(*copy.add_members(kps, f.at(0).signer, kNow)->welcome);
  for (const auto& [what, bytes] : mutations(welcome, 13)) {
    auto m = decode_mls_message(bytes);
    if (!m.ok() || !m->get<Welcome>()) continue;
    auto staged = stage_stored_welcome(j.storage, *m->get<Welcome>(),
                                       WelcomeOptions{kNow, {}, std::nullopt, {}});
    EXPECT_FALSE(staged.ok()) << what << " was accepted";
  }
  EXPECT_EQ(j.storage.count(store_label::key_package), 1u);
  auto ok = stage_stored_welcome(j.storage, *decode_mls_message(welcome)->get<Welcome>(),
                                 WelcomeOptions{kNow, {}, std::nullopt, {}});
  EXPECT_TRUE(ok.ok());
}

// A group opened again is served from its remembered decode only while
// storage answers every load with the bytes it was decoded from. These cases
// change storage behind that memory and check that the next open follows
// storage, never the memory.

// A two-member group in which member 0 has sent one message to member 1,
// and member 1 has opened its group once (so its decode is remembered).
struct SentMessage {
  StoredGroupFixture f{2, "group:remembered"};
  Bytes message;
  SentMessage() {
    f.create(0);
    f.add(0, 1);
    StoredGroup g = f.at(0).open(f.id());
    message = encode_mls_message(*g.create_application_message(as_bytes("hi"), f.at(0).signer));
    (void)f.at(1).open(f.id());
  }
  Result<ProcessedMessage, Error> receive() {
    auto g = StoredGroup::open(f.at(1).storage, f.id());
    if (!g.ok()) return Err(g.error());
    return (*g)->process_message(*decode_mls_message(message), kNow);
  }
};

TEST(StoredGroupRemembered, AnOpenMakesTheSameLoadCallsEitherWay) {
  StoredGroupFixture f(2, "group:calls");
  f.create(0);
  f.add(0, 1);
  MemoryStorageProvider& s = f.at(1).storage;
  s.record_calls(true);
  s.clear_calls();
  { StoredGroup g = f.at(1).open(f.id()); }  // first open since the join: decoded
  auto decoded = s.calls();
  s.clear_calls();
  { StoredGroup g = f.at(1).open(f.id()); }  // nothing changed: remembered
  EXPECT_EQ(s.calls(), decoded);
  EXPECT_EQ(decoded.size(), 13u);  // the twelve labels of a load and the epoch key pairs
  for (const auto& c : decoded) EXPECT_EQ(c.op, MemoryStorageProvider::Op::Load);
}

// The ratchet is where staleness would hurt: an old ratchet state accepts a
// replay, a newer one refuses a message storage has not consumed.
TEST(StoredGroupRemembered, TheRatchetIsTheStoredOne) {
  {
    SCOPED_TRACE("received, then storage wound back to before the receipt");
    SentMessage t;
    MemoryStorageProvider& s = t.f.at(1).storage;
    auto before = s.peek(store_label::message_secrets, group_key_digest(t.f.id()));
    ASSERT_TRUE(t.receive().ok());
    EXPECT_EQ(t.receive().error().code(), ErrorCode::SecretReused);
    s.poke(store_label::message_secrets, group_key_digest(t.f.id()), *before);
    EXPECT_TRUE(t.receive().ok());
    EXPECT_EQ(t.receive().error().code(), ErrorCode::SecretReused);
  }
  {
    SCOPED_TRACE("the write after a receipt failed");
    SentMessage t;
    MemoryStorageProvider& s = t.f.at(1).storage;
    {
      StoredGroup g = t.f.at(1).open(t.f.id());
      s.fail_nth_call(1, "disk full");
      auto r = g.process_message(*decode_mls_message(t.message), kNow);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().code(), ErrorCode::Storage);
    }
    // Storage never recorded the receipt, so the message is still unread.
    EXPECT_TRUE(t.receive().ok());
  }
}

TEST(StoredGroupRemembered, DamagedValuesAreRefusedAndRepairedOnesAccepted) {
  SentMessage t;
  MemoryStorageProvider& s = t.f.at(1).storage;
  uint32_t own = 0;
  uint64_t epoch = 0;
  {
    StoredGroup g = t.f.at(1).open(t.f.id());
    own = g.group().own_leaf_index();
    epoch = g.group().epoch();
  }
  const std::string group_key = group_key_digest(t.f.id());
  const std::pair<std::string_view, std::string> cases[] = {
      {store_label::tree, group_key},
      {store_label::group_context, group_key},
      {store_label::message_secrets, group_key},
      {store_label::group_epoch_secrets, group_key},
      {store_label::own_leaf_nodes, group_key},
      {store_label::encryption_epoch_key_pairs, epoch_key_digest(t.f.id(), epoch, own)},
  };
  for (const auto& [label, key] : cases) {
    SCOPED_TRACE(std::string(label));
    auto good = s.peek(label, key);
    s.poke(label, key, as_bytes("[1,2"));
    auto g = StoredGroup::open(s, t.f.id());
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(g.error().code(), ErrorCode::InvalidState);
    if (good)
      s.poke(label, key, *good);
    else
      s.poke(label, key, as_bytes("[]"));
    EXPECT_TRUE(StoredGroup::open(s, t.f.id()).ok());
  }
  EXPECT_TRUE(t.receive().ok());
}

}  // namespace
}  // namespace brenvik::rfc9420
