#include "store/record_files.h"

#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "store/store_handle.h"
#include "store_test_util.h"
#include "util/log.h"

namespace brenvik::store {
namespace {

using testing::TempDir;

TEST(StorageNamespace, SeparatorsAndValidity) {
  EXPECT_NE(derive_storage_namespace("a", "bc"), derive_storage_namespace("ab", "c"));
  const std::string ok = derive_storage_namespace("app", "u");
  EXPECT_TRUE(is_valid_storage_namespace(ok));
  std::string upper = ok;
  upper[10] = 'A';
  for (const std::string& bad : {upper, ok.substr(0, 71), ok + "0", "acount-" + ok.substr(7)})
    EXPECT_FALSE(is_valid_storage_namespace(bad)) << bad;
  EXPECT_EQ(FileStoreError::invalid_namespace().message(),
            "invalid storage namespace: expected `account-` and 64 lowercase hex digits");
}

TEST(StoreRoots, OverlapTable) {
  TempDir t;
  std::filesystem::create_directories(t / "x");
  std::filesystem::create_directories(t / "y");
  std::filesystem::create_symlink(t / "x", t / "link");
  struct Case {
    std::string a, b;
    bool overlap;
  } cases[] = {
      {t / "x", t / "x/state", true},
      {t / "x/.", t / "x", true},
      {t / "y/../x", t / "x", true},
      {t / "a", t / "ab", false},
      {t / "x", t / "y", false},
      {t / "link", t / "x/sub", true},
      {t / "new/a/../b", t / "new/b/c", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(store_roots_overlap(c.a, c.b), c.overlap) << c.a << " " << c.b;
}

TEST(RecordFraming, LimitsAndRoundTrip) {
  auto f = frame_record("type", "id", as_bytes("value"));
  ASSERT_TRUE(f.ok());
  auto p = parse_record_framing(f.value());
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->key_type, "type");
  EXPECT_EQ(p->key_id, "id");
  EXPECT_EQ(p->header_len, 14u);

  auto long_type = frame_record(std::string(4097, 't'), "id", {});
  ASSERT_FALSE(long_type.ok());
  EXPECT_EQ(long_type.error(), "key type or key id exceeds 4096 bytes");
  EXPECT_TRUE(frame_record(std::string(4096, 't'), std::string(4096, 'i'), {}).ok());
  EXPECT_TRUE(frame_record("t", "i", Bytes(8388608)).ok());
  auto big = frame_record("t", "i", Bytes(8388609));
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error(), "record is 8388609 bytes, over the 8388608 byte limit");
}

TEST(RecordFraming, InvalidHeadersAreRefused) {
  Bytes good = frame_record("ab", "c", as_bytes("v")).value();
  struct Case {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"short", Bytes(good.begin(), good.begin() + 7)},
      {"magic",
       [&] {
         Bytes b = good;
         b[0] = 'X';
         return b;
       }()},
      {"type over 4096",
       [&] {
         Bytes b = good;
         b[4] = 0x10;
         b[5] = 0x01;
         return b;
       }()},
      {"shorter than header", Bytes(good.begin(), good.begin() + 10)},
      {"not utf-8",
       [&] {
         Bytes b = good;
         b[8] = 0xFF;
         return b;
       }()},
  };
  for (const auto& c : cases) EXPECT_FALSE(parse_record_framing(c.bytes).has_value()) << c.name;
}

TEST(RecordNames, SharedPrefixKeyTypesMapApart) {
  Bytes nk(32, 9);
  auto a = mls_type_dir_name(nk, "storage_conformance_probe");
  auto b = mls_type_dir_name(nk, "storage_conformance_probe_other");
  EXPECT_NE(a.substr(2, 8), b.substr(2, 8));
  EXPECT_EQ(a.size(), 66u);
  // The length prefixes keep ("ab","c") and ("a","bc") apart.
  EXPECT_NE(mls_entry_file_name(nk, "ab", "c"), mls_entry_file_name(nk, "a", "bc"));
}

TEST(RecordFiles, ReadCeilingAndRemove) {
  TempDir t;
  FsOps& fs = real_fs();
  testing::write_file(t / "big", Bytes(kStateRecordCeiling + 1));
  EXPECT_TRUE(
      std::holds_alternative<FileTooLarge>(read_record_file(fs, t / "big", kStateRecordCeiling)));
  testing::write_file(t / "ok", Bytes(kStateRecordCeiling));
  auto r = read_record_file(fs, t / "ok", kStateRecordCeiling);
  ASSERT_TRUE(std::holds_alternative<Bytes>(r));
  EXPECT_EQ(std::get<Bytes>(r).size(), kStateRecordCeiling);
  EXPECT_TRUE(std::holds_alternative<FileAbsent>(read_record_file(fs, t / "none", 10)));
  EXPECT_EQ(remove_record_file(fs, t / "none").value(), Removed::WasAbsent);
  EXPECT_EQ(remove_record_file(fs, t / "ok").value(), Removed::Removed);
}

TEST(RecordFiles, DirectoriesAndFilesHaveOwnerOnlyModes) {
  TempDir t;
  auto dir =
      open_namespace_directory(real_fs(), t / "root/deeper", derive_storage_namespace("a", "b"));
  ASSERT_TRUE(dir.ok());
  struct stat st;
  ASSERT_EQ(::stat(dir.value().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((t / "root").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_TRUE(write_record_file(real_fs(), dir.value(), dir.value() + "/f", as_bytes("x")).ok());
  ASSERT_EQ(::stat((dir.value() + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(open_namespace_directory(real_fs(), t.path(), "account-x").ok());
}

TEST(RecordFiles, DirHasPrefixedFileCountsOnlyRegularFiles) {
  TempDir t;
  std::filesystem::create_directories(t / "d/k_dir");
  EXPECT_FALSE(dir_has_prefixed_file(real_fs(), t / "d", "k_").value());
  EXPECT_FALSE(dir_has_prefixed_file(real_fs(), t / "missing", "k_").value());
  testing::write_file(t / "target", as_bytes("x"));
  std::filesystem::create_symlink(t / "target", t / "d/k_link");
  EXPECT_FALSE(dir_has_prefixed_file(real_fs(), t / "d", "k_").value());
  testing::write_file(t / "d/k_file", as_bytes("x"));
  EXPECT_TRUE(dir_has_prefixed_file(real_fs(), t / "d", "k_").value());
}

void set_age(const std::string& path, int64_t seconds_ago) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = ::time(nullptr) - seconds_ago;
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

TEST(Sweep, RemovesOnlyTemporariesOfThreeHundredSecondsOrMore) {
  TempDir t;
  struct Case {
    std::string name;
    int64_t age;
    bool removed;
  } cases[] = {
      {".write-aaaaaaaaaaaaaaaaaaaaaaaa", 300, true},
      {".write-bbbbbbbbbbbbbbbbbbbbbbbb", 299, false},
      {".write-cccccccccccccccccccccccc", -100, false},
      {".write-", 400, true},
      {".write", 400, false},
      {"x.write-abc", 400, false},
      {".write-dddddddddddddddddddddddd", 10, false},
  };
  for (const auto& c : cases) {
    testing::write_file(t / c.name, as_bytes("x"));
    set_age(t / c.name, c.age);
  }
  std::filesystem::create_directory(t / ".write-dir");
  set_age(t / ".write-dir", 1000);
  ScopedLogCapture logs(LogLevel::Debug);
  StoreSweepState state;
  sweep_stale_temporaries(real_fs(), state, t.path());
  for (const auto& c : cases) EXPECT_EQ(!std::filesystem::exists(t / c.name), c.removed) << c.name;
  EXPECT_TRUE(std::filesystem::exists(t / ".write-dir"));
  size_t removed_logs = 0;
  for (const auto& e : logs.entries())
    if (e.message.starts_with("removed stale store temporary")) ++removed_logs;
  EXPECT_EQ(removed_logs, 2u);
  // A second sweep through the same state does not look again.
  testing::write_file(t / ".write-eeeeeeeeeeeeeeeeeeeeeeee", as_bytes("x"));
  set_age(t / ".write-eeeeeeeeeeeeeeeeeeeeeeee", 1000);
  sweep_stale_temporaries(real_fs(), state, t.path());
  EXPECT_TRUE(std::filesystem::exists(t / ".write-eeeeeeeeeeeeeeeeeeeeeeee"));
}

TEST(Locks, SecondLockInSameProcessAndForkedChildIsRefused) {
  TempDir t;
  auto first = lock_store_directory(real_fs(), t.path(), "mls-store.lock");
  ASSERT_TRUE(first.ok());
  auto second = lock_store_directory(real_fs(), t.path(), "mls-store.lock");
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().kind, FileStoreError::Kind::Locked);
  EXPECT_EQ(second.error().message(),
            "the store at " + t.path() +
                " is already open elsewhere; two stores over one directory are refused");
  // Closing an unrelated descriptor of the lock file keeps the lock (a
  // record lock would have been dropped here).
  int other = ::open((t / "mls-store.lock").c_str(), O_RDONLY);
  ::close(other);
  pid_t pid = ::fork();
  if (pid == 0) {
    auto r = lock_store_directory(real_fs(), t.path(), "mls-store.lock");
    ::_exit(!r.ok() && r.error().kind == FileStoreError::Kind::Locked ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  StoreHandle h(real_fs(), first.value());
  h.close();
  h.close();  // harmless
  EXPECT_FALSE(h.lock().has_value());
  auto again = lock_store_directory(real_fs(), t.path(), "mls-store.lock");
  ASSERT_TRUE(again.ok());
  ::close(again.value());
}

TEST(Locks, FileSystemWithoutLocksWarnsAndGivesUnlockedHandle) {
  TempDir t;
  testing::FaultyFs fs;
  fs.op = testing::Op::Lock;
  fs.at = 1;
  fs.err = ENOLCK;
  ScopedLogCapture logs(LogLevel::Warn);
  auto r = lock_store_directory(fs, t.path(), "state-store.lock");
  ASSERT_TRUE(r.ok());
  ::close(r.value());
  ASSERT_EQ(logs.entries().size(), 1u);
  EXPECT_TRUE(
      logs.entries()[0].message.starts_with("store directory cannot be locked on this filesystem; "
                                            "a second store over it will not be refused"));
}

}  // namespace
}  // namespace brenvik::store
