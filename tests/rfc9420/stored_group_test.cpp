// Members that keep nothing in memory: every operation opens the group from
// the member's own storage, works, and writes it back. Groups of 2, 3 and
// 16 members add, remove, self-update and exchange messages this way; the
// members agree on the epoch authenticator at every epoch.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace brenvik::rfc9420
