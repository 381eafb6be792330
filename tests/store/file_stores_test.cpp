// The sealed file MLS store, the file state store and their pairing.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "store/record_files.h"
#include "store/store_pair.h"
#include "store_test_util.h"
#include "util/log.h"

namespace brenvik::store {
namespace {

using testing::FaultyFs;
using testing::Op;
using testing::TempDir;

const Bytes kKey(32, 0x5a);
const Bytes kOtherKey(32, 0x6b);
const std::string kNs = derive_storage_namespace("app", "user");

struct Roots {
  TempDir t;
  std::string mls = t / "mls", state = t / "state";
  std::string mls_ns() const { return mls + "/" + kNs; }
  std::string state_ns() const { return state + "/" + kNs; }
  Result<FileStorePair, FileStoreError> open(ByteView key = kKey, FsOps& fs = real_fs()) {
    return open_file_store_pair(fs, mls, state, "app", "user", key);
  }
  std::string entry_path(std::string_view type, std::string_view id, ByteView key = kKey) {
    auto keys = derive_file_store_keys(crypto::SecretArray<32>(key), kNs);
    return mls_ns() + "/" + mls_type_dir_name(keys.names_key.view(), type) + "/" +
           mls_entry_file_name(keys.names_key.view(), type, id);
  }
  std::string state_path(std::string_view cat, std::string_view id) {
    return state_ns() + "/" + state_category_dir(cat) + "/" + state_record_name(cat, id);
  }
};

size_t count_warns(const ScopedLogCapture& logs, std::string_view prefix) {
  size_t n = 0;
  for (const auto& e : logs.entries())
    if (e.level == LogLevel::Warn && e.message.starts_with(prefix)) ++n;
  return n;
}

TEST(MlsStore, RoundTripEmptyValueListingAndDelete) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok()) << pair.error().message();
  auto& m = *pair.value().mls;
  ASSERT_TRUE(m.store("t", "b", as_bytes("2")).ok());
  ASSERT_TRUE(m.store("t", "a", {}).ok());
  ASSERT_TRUE(m.store("t_other", "z", as_bytes("3")).ok());
  auto empty = m.load("t", "a");
  ASSERT_TRUE(empty.ok() && empty.value().has_value());
  EXPECT_TRUE(empty.value()->empty());
  EXPECT_FALSE(m.load("t", "missing").value().has_value());
  EXPECT_EQ(m.list_keys("t").value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(m.list_keys("never").value().empty());
  EXPECT_TRUE(m.delete_("t", "a").ok());
  EXPECT_TRUE(m.delete_("t", "a").ok());
  EXPECT_TRUE(m.exists("t", "b").value());
  EXPECT_TRUE(m.clear("t").ok());
  EXPECT_TRUE(m.list_keys("t").value().empty());
  EXPECT_EQ(m.list_keys("t_other").value(), std::vector<std::string>{"z"});
  close_file_store_pair(pair.value());
  auto closed = m.load("t", "b");
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().message(),
            "Failed to load data: the store at " + r.mls_ns() + " is closed");
  EXPECT_EQ(m.store("t", "b", {}).error().kind, MlsStorageError::Kind::Store);
}

TEST(MlsStore, FlippedByteAnywhereIsCorruptedLeftInPlaceAndWarnedPerLoad) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok());
  auto& m = *pair.value().mls;
  ASSERT_TRUE(m.store("t", "k", as_bytes("value")).ok());
  const std::string path = r.entry_path("t", "k");
  const Bytes good = testing::read_file(path);
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    testing::write_file(path, bad);
    ScopedLogCapture logs(LogLevel::Warn);
    for (int n = 0; n < 2; ++n) {
      auto v = m.load("t", "k");
      ASSERT_FALSE(v.ok()) << i;
      EXPECT_EQ(v.error().kind, MlsStorageError::Kind::Corrupted);
      EXPECT_EQ(v.error().text, "sealed record does not authenticate under this store key: " +
                                    path + "; left in place");
    }
    EXPECT_EQ(count_warns(logs, "sealed MLS record is unreadable; left in place"), 2u) << i;
    EXPECT_EQ(testing::read_file(path), bad);
  }
}

TEST(MlsStore, UnreadableFileIsWarnedOncePerPathInListingsUntilRewritten) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok());
  auto& m = *pair.value().mls;
  ASSERT_TRUE(m.store("t", "good", as_bytes("1")).ok());
  ASSERT_TRUE(m.store("t", "bad", as_bytes("2")).ok());
  const std::string bad = r.entry_path("t", "bad");
  Bytes b = testing::read_file(bad);
  b.back() ^= 0xFF;
  testing::write_file(bad, b);
  ScopedLogCapture logs(LogLevel::Warn);
  constexpr std::string_view kWarn = "sealed MLS record does not open under this store key";
  EXPECT_EQ(m.list_keys("t").value(), std::vector<std::string>{"good"});
  EXPECT_EQ(m.list_keys("t").value(), std::vector<std::string>{"good"});
  EXPECT_EQ(count_warns(logs, kWarn), 1u);
  ASSERT_TRUE(m.store("t", "bad", as_bytes("2")).ok());
  testing::write_file(bad, b);
  (void)m.list_keys("t");
  EXPECT_EQ(count_warns(logs, kWarn), 2u);
}

TEST(MlsStore, CopiedFileDoesNotAuthenticateUnderAnotherName) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok());
  auto& m = *pair.value().mls;
  ASSERT_TRUE(m.store("t", "a", as_bytes("1")).ok());
  ASSERT_TRUE(m.store("t", "b", as_bytes("2")).ok());
  std::filesystem::copy_file(r.entry_path("t", "a"), r.entry_path("t", "b"),
                             std::filesystem::copy_options::overwrite_existing);
  auto v = m.load("t", "b");
  ASSERT_FALSE(v.ok());
  EXPECT_TRUE(
      v.error().text.starts_with("sealed record does not authenticate under this store key"));
}

TEST(MlsStore, KeyCheckDecisions) {
  {  // A new store writes its check; reopening proves the key at once.
    Roots r;
    ASSERT_TRUE(r.open().ok());
    EXPECT_EQ(std::filesystem::file_size(r.mls_ns() + "/store-key-check"), 83u);
    auto again = r.open();
    ASSERT_TRUE(again.ok());
  }
  {  // Wrong key on a store with records: WrongKey, nothing written.
    Roots r;
    {
      auto p = r.open();
      ASSERT_TRUE(p.value().mls->store("t", "k", as_bytes("v")).ok());
    }
    auto before = testing::snapshot(r.t.path());
    auto p = r.open(kOtherKey);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().message(),
              "the store key does not open the store at " + r.mls_ns() + "; nothing was changed");
    EXPECT_EQ(testing::snapshot(r.t.path()), before);
  }
  {  // Wrong key on a store holding only its check: KeyCheckUnproven.
    Roots r;
    { ASSERT_TRUE(r.open().ok()); }
    auto before = testing::snapshot(r.t.path());
    auto p = r.open(kOtherKey);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, FileStoreError::Kind::KeyCheckUnproven);
    EXPECT_TRUE(p.error().message().starts_with("the store key check at " + r.mls_ns() +
                                                "/store-key-check does not open"));
    EXPECT_EQ(testing::snapshot(r.t.path()), before);
  }
  {  // Check deleted but records open: rewritten without a warning; damaged: with one.
    Roots r;
    {
      auto p = r.open();
      ASSERT_TRUE(p.value().mls->store("t", "k", as_bytes("v")).ok());
    }
    std::filesystem::remove(r.mls_ns() + "/store-key-check");
    {
      ScopedLogCapture logs(LogLevel::Warn);
      ASSERT_TRUE(r.open().ok());
      EXPECT_EQ(count_warns(logs, "store key check does not open"), 0u);
    }
    EXPECT_TRUE(std::filesystem::exists(r.mls_ns() + "/store-key-check"));
    testing::write_file(r.mls_ns() + "/store-key-check", Bytes(83, 1));
    ScopedLogCapture logs(LogLevel::Warn);
    ASSERT_TRUE(r.open().ok());
    EXPECT_EQ(
        count_warns(logs, "store key check does not open but a record does; rebuilding the check"),
        1u);
  }
}

TEST(StateStore, RoundTripLimitsAndDroppedRecords) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok());
  auto& s = *pair.value().state;
  ASSERT_TRUE(s.store("outbox", "m1", as_bytes("v1")).ok());
  EXPECT_EQ(to_string(*s.load("outbox", "m1").value()), "v1");
  ASSERT_TRUE(s.store("outbox", "big", Bytes(8388608, 7)).ok());
  EXPECT_EQ(s.load("outbox", "big").value()->size(), 8388608u);
  auto over = s.store("outbox", "big", Bytes(8388609));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(),
            "Failed to store protocol state: record is 8388609 bytes, over the 8388608 byte limit");

  // A flipped framing byte: the file is dropped.
  const std::string path = r.state_path("outbox", "m1");
  Bytes b = testing::read_file(path);
  b[0] ^= 1;
  testing::write_file(path, b);
  auto v = s.load("outbox", "m1");
  ASSERT_FALSE(v.ok());
  EXPECT_EQ(v.error().message(),
            "Protocol state entry corrupted: dropped unreadable protocol-state record: " + path);
  EXPECT_FALSE(std::filesystem::exists(path));

  // A file that frames another key id is dropped too.
  ASSERT_TRUE(s.store("outbox", "a", as_bytes("x")).ok());
  ASSERT_TRUE(s.store("outbox", "b", as_bytes("y")).ok());
  std::filesystem::copy_file(r.state_path("outbox", "a"), r.state_path("outbox", "b"),
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_EQ(s.load("outbox", "b").error().kind, StateStorageError::Kind::Corrupted);
  // Listing leaves an unreadable file out silently and keeps it on disk.
  testing::write_file(r.state_ns() + "/" + state_category_dir("outbox") + "/k_junk",
                      as_bytes("junk"));
  EXPECT_EQ(s.list_keys("outbox").value(), (std::vector<std::string>{"a", "big"}));
  EXPECT_TRUE(
      std::filesystem::exists(r.state_ns() + "/" + state_category_dir("outbox") + "/k_junk"));
  EXPECT_TRUE(s.delete_("outbox", "nothing").ok());
}

TEST(StorePair, FreshPairWritesMatchingPairingIds) {
  Roots r;
  auto pair = r.open();
  ASSERT_TRUE(pair.ok());
  Bytes state_id = testing::read_file(r.state_ns() + "/state-store.pair");
  ASSERT_EQ(state_id.size(), 32u);
  auto mls_id = pair.value().mls->pairing_id();
  ASSERT_TRUE(mls_id.ok());
  ASSERT_EQ(mls_id.value().kind, MlsPairingState::Kind::Present);
  EXPECT_EQ(Bytes(mls_id.value().id.view().begin(), mls_id.value().id.view().end()), state_id);
  // Both locks are held; a second opening is refused; closing frees both.
  auto second = r.open();
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind, FileStoreError::Kind::Locked);
  close_file_store_pair(pair.value());
  for (auto [dir, lock] :
       {std::pair{r.mls_ns(), kMlsLockFile}, std::pair{r.state_ns(), kStateLockFile}}) {
    auto fd = lock_store_directory(real_fs(), dir, lock);
    ASSERT_TRUE(fd.ok());
    ::close(fd.value());
  }
}

TEST(StorePair, CrashDuringPairingReopensPaired) {
  for (Op op : {Op::Rename, Op::SyncDir}) {
    for (int at : {1, 2}) {
      Roots r;
      pid_t pid = ::fork();
      if (pid == 0) {
        FaultyFs fs;
        fs.op = op;
        fs.at = at;
        fs.path_filter = ".pair";
        fs.action = FaultyFs::Action::Crash;
        (void)r.open(kKey, fs);
        ::_exit(0);
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      auto pair = r.open();
      ASSERT_TRUE(pair.ok()) << pair.error().message();
      auto id = pair.value().mls->pairing_id();
      ASSERT_EQ(id.value().kind, MlsPairingState::Kind::Present);
      EXPECT_EQ(Bytes(id.value().id.view().begin(), id.value().id.view().end()),
                testing::read_file(r.state_ns() + "/state-store.pair"));
    }
  }
}

// Puts a sealed outbox record into the state store, sealed under the record
// key kept in the MLS store (or under a foreign key).
void put_sealed_state(FileStorePair& p, ByteView record_key, bool store_key_in_mls) {
  if (store_key_in_mls) ASSERT_TRUE(p.mls->store(kRecordKeyType, kRecordKeyId, record_key).ok());
  auto sealed = seal_state_record(record_key, "outbox", "m", as_bytes("queued"));
  ASSERT_TRUE(p.state->store("outbox", "m", sealed.value()).ok());
}

TEST(StorePair, RefusedOpeningsChangeNothing) {
  {  // State without identity: no directory is created.
    Roots r;
    std::filesystem::create_directories(r.state_ns() + "/t_x");
    testing::write_file(r.state_ns() + "/t_x/k_y", as_bytes("r"));
    auto p = r.open();
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, FileStoreError::Kind::StateWithoutIdentity);
    EXPECT_EQ(p.error().message(),
              r.state_ns() + " holds protocol state, but " + r.mls +
                  " holds no identity for this account: the file stores would start a new "
                  "identity (a new address) and delete the state it cannot unseal. Point "
                  "state_root at a fresh directory, or restore the mls_root that wrote this state");
    EXPECT_FALSE(std::filesystem::exists(r.mls));
  }
  {  // Overlapping roots: nothing created.
    TempDir t;
    auto p = open_file_store_pair(real_fs(), t / "x", t / "x/state", "app", "user", kKey);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, FileStoreError::Kind::RootsOverlap);
    EXPECT_FALSE(std::filesystem::exists(t / "x"));
  }
  {  // State of another identity: sealed records that do not open here.
    Roots other;
    Roots r;
    {
      auto p = r.open();
      ASSERT_TRUE(p.ok());
      ASSERT_TRUE(p.value().mls->store(kRecordKeyType, kRecordKeyId, Bytes(32, 1)).ok());
    }
    {
      auto p = other.open();
      put_sealed_state(p.value(), Bytes(32, 2), true);
    }
    std::filesystem::remove_all(r.state);
    std::filesystem::copy(other.state, r.state, std::filesystem::copy_options::recursive);
    auto before = testing::snapshot(r.t.path());
    auto p = r.open();
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, FileStoreError::Kind::StateOfAnotherIdentity);
    EXPECT_EQ(testing::snapshot(r.t.path()), before);
  }
}

TEST(StorePair, SurveyTable) {
  {  // Records without a pairing file whose sealed records open: paired afresh.
    Roots r;
    {
      auto p = r.open();
      put_sealed_state(p.value(), Bytes(32, 3), true);
    }
    std::filesystem::remove(r.state_ns() + "/state-store.pair");
    ASSERT_TRUE(r.open().ok());
    EXPECT_TRUE(std::filesystem::exists(r.state_ns() + "/state-store.pair"));
  }
  {  // Only clear categories: survey 0; with a foreign pairing id: refused.
    Roots r;
    {
      auto p = r.open();
      ASSERT_TRUE(p.value().mls->store("identity", "me", as_bytes("x")).ok());
      ASSERT_TRUE(p.value().state->store("session_states", "s", as_bytes("clear")).ok());
    }
    std::filesystem::remove(r.state_ns() + "/state-store.pair");
    {
      auto p = r.open();
      ASSERT_TRUE(p.ok());
      EXPECT_EQ(survey_state_store(*p.value().state, *p.value().mls).value(),
                Survey::NoSealedState);
    }
    testing::write_file(r.state_ns() + "/state-store.pair", Bytes(32, 0xEE));
    auto p = r.open();
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, FileStoreError::Kind::StateOfAnotherIdentity);
  }
  {  // A damaged (16-byte) record key beside sealed state: warning, opening goes on.
    Roots r;
    {
      auto p = r.open();
      put_sealed_state(p.value(), Bytes(32, 4), false);
      ASSERT_TRUE(p.value().mls->store(kRecordKeyType, kRecordKeyId, Bytes(16, 4)).ok());
    }
    std::filesystem::remove(r.state_ns() + "/state-store.pair");
    ScopedLogCapture logs(LogLevel::Warn);
    ASSERT_TRUE(r.open().ok());
    EXPECT_EQ(count_warns(logs, "the protocol-state record key is damaged"), 1u);
  }
  {  // An unreadable MLS pairing file: a new id in both stores.
    Roots r;
    { ASSERT_TRUE(r.open().ok()); }
    const Bytes old_id = testing::read_file(r.state_ns() + "/state-store.pair");
    testing::write_file(r.mls_ns() + "/mls-store.pair", Bytes(64, 1));
    auto p = r.open();
    ASSERT_TRUE(p.ok());
    EXPECT_NE(testing::read_file(r.state_ns() + "/state-store.pair"), old_id);
    EXPECT_EQ(p.value().mls->pairing_id().value().kind, MlsPairingState::Kind::Present);
  }
}

TEST(StorePair, StateStoreHasRecordsTable) {
  Roots r;
  EXPECT_FALSE(state_store_has_records(real_fs(), r.state, kNs).value());
  EXPECT_EQ(state_store_has_records(real_fs(), r.state, "bad").error().kind,
            FileStoreError::Kind::InvalidNamespace);
  std::filesystem::create_directories(r.state_ns() + "/t_a");
  testing::write_file(r.state_ns() + "/k_outside", as_bytes("x"));
  EXPECT_FALSE(state_store_has_records(real_fs(), r.state, kNs).value());
  testing::write_file(r.state_ns() + "/t_a/k_1", as_bytes("x"));
  EXPECT_TRUE(state_store_has_records(real_fs(), r.state, kNs).value());
}

}  // namespace
}  // namespace brenvik::store
