// Crash safety and fault injection of the atomic write, through the MLS
// store: a record rewritten over an old one reads exactly old or exactly new
// whatever step fails or crashes, and no temporary outlives a failed write.
#include <fcntl.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "store/record_files.h"
#include "store/store_pair.h"
#include "store_test_util.h"

namespace brenvik::store {
namespace {

using testing::FaultyFs;
using testing::Op;
using testing::TempDir;

const Bytes kStoreKey(32, 0x5a);

struct Fixture {
  TempDir t;
  std::string mls_root = t / "mls", state_root = t / "state";

  Result<FileStorePair, FileStoreError> open(FsOps& fs = real_fs()) {
    return open_file_store_pair(fs, mls_root, state_root, "app", "user", kStoreKey);
  }
  std::string type_dir() {
    for (auto& e : std::filesystem::recursive_directory_iterator(mls_root))
      if (e.is_directory() && e.path().filename().string().starts_with("c_"))
        return e.path().string();
    return {};
  }
};

TEST(AtomicWrite, CrashAfterEachStepLeavesOldOrNew) {
  struct Step {
    const char* name;
    Op op;
    int at;
    bool new_value_expected;  // nullopt-like: either is fine when false and either_ok
    bool either_ok;
  } steps[] = {
      {"temporary created", Op::Open, 1, false, false},
      {"first write", Op::Write, 1, false, false},
      {"second write", Op::Write, 2, false, false},
      {"fsync", Op::Fsync, 1, false, false},
      {"rename", Op::Rename, 1, true, false},
      {"directory fsync", Op::SyncDir, 1, true, false},
  };
  for (const auto& s : steps) {
    Fixture f;
    {
      auto pair = f.open();
      ASSERT_TRUE(pair.ok()) << pair.error().message();
      ASSERT_TRUE(pair.value().mls->store("group_state", "g", as_bytes("old value")).ok());
      close_file_store_pair(pair.value());
    }
    pid_t pid = ::fork();
    if (pid == 0) {
      FaultyFs fs;
      fs.op = s.op;
      fs.at = s.at;
      fs.action = FaultyFs::Action::Crash;
      fs.path_filter = s.op == Op::Open ? ".write-" : "";
      auto pair = f.open(fs);
      if (!pair.ok()) ::_exit(3);
      (void)pair.value().mls->store("group_state", "g", as_bytes("new value, longer"));
      ::_exit(4);  // the crash did not happen
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << s.name;
    ASSERT_EQ(WEXITSTATUS(status), 0) << s.name;

    auto pair = f.open();
    ASSERT_TRUE(pair.ok()) << s.name << ": " << pair.error().message();
    auto v = pair.value().mls->load("group_state", "g");
    ASSERT_TRUE(v.ok() && v.value()) << s.name;
    const std::string got = to_string(*v.value());
    if (s.new_value_expected)
      EXPECT_EQ(got, "new value, longer") << s.name;
    else
      EXPECT_EQ(got, "old value") << s.name;
    // The orphan temporary (before the rename) is swept once 300 s old.
    const std::string tdir = f.type_dir();
    const size_t orphans = testing::count_temporaries(tdir);
    EXPECT_EQ(orphans, s.new_value_expected ? 0u : 1u) << s.name;
    close_file_store_pair(pair.value());
    for (auto& e : std::filesystem::directory_iterator(tdir))
      if (e.path().filename().string().starts_with(".write-")) {
        struct timespec ts[2] = {{::time(nullptr) - 300, 0}, {::time(nullptr) - 300, 0}};
        ::utimensat(AT_FDCWD, e.path().c_str(), ts, 0);
      }
    auto again = f.open();
    ASSERT_TRUE(again.ok());
    ASSERT_TRUE(again.value().mls->store("group_state", "other", as_bytes("x")).ok());
    EXPECT_EQ(testing::count_temporaries(tdir), 0u) << s.name;
  }
}

TEST(AtomicWrite, FailingStepRemovesTemporaryAndKeepsOldRecord) {
  struct Case {
    const char* name;
    Op op;
    int at;
  } cases[] = {
      {"write", Op::Write, 1}, {"second write", Op::Write, 2}, {"fsync", Op::Fsync, 1},
      {"close", Op::Close, 1}, {"rename", Op::Rename, 1},
  };
  for (const auto& c : cases) {
    Fixture f;
    FaultyFs fs;
    auto pair = f.open(fs);
    ASSERT_TRUE(pair.ok());
    auto& mls = *pair.value().mls;
    ASSERT_TRUE(mls.store("group_state", "g", as_bytes("old value")).ok());
    fs.op = c.op;
    fs.at = c.at;
    fs.err = EIO;
    auto r = mls.store("group_state", "g", as_bytes("new value, longer"));
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind, MlsStorageError::Kind::Store);
    EXPECT_EQ(r.error().text, IoError::from_errno(EIO).text) << c.name;
    EXPECT_EQ(testing::count_temporaries(f.type_dir()), 0u) << c.name;
    fs.at = 0;
    EXPECT_EQ(to_string(*mls.load("group_state", "g").value()), "old value") << c.name;
  }
}

TEST(AtomicWrite, FailingDirectorySyncIsReportedButTheNewValueIsInPlace) {
  Fixture f;
  FaultyFs fs;
  auto pair = f.open(fs);
  ASSERT_TRUE(pair.ok());
  auto& mls = *pair.value().mls;
  ASSERT_TRUE(mls.store("group_state", "g", as_bytes("old")).ok());
  fs.op = Op::SyncDir;
  fs.at = 1;
  fs.err = EIO;
  auto r = mls.store("group_state", "g", as_bytes("new"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(to_string(*mls.load("group_state", "g").value()), "new");
}

TEST(AtomicWrite, DirectorySyncEinvalAndEnotsupCountAsSuccess) {
  for (int e : {EINVAL, ENOTSUP}) {
    TempDir t;
    FaultyFs fs;
    fs.op = Op::SyncDir;
    fs.at = 1;
    fs.err = e;
    EXPECT_TRUE(write_record_file(fs, t.path(), t / "f", as_bytes("x")).ok());
  }
}

TEST(AtomicWrite, EightCollisionsInARowGiveUp) {
  TempDir t;
  FaultyFs fs;
  fs.op = Op::Open;
  fs.err = EEXIST;
  // Every open collides: count them by failing each call in turn.
  struct AlwaysExists : FsOps {
    int calls = 0;
    int open(const std::string&, int, mode_t, int&) override {
      ++calls;
      return EEXIST;
    }
  } always;
  auto r = write_record_file(always, t.path(), t / "f", as_bytes("x"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text, "could not create a unique temporary file");
  EXPECT_EQ(r.error().code, EEXIST);
  EXPECT_EQ(always.calls, 8);
  // One collision is retried with a new name.
  fs.at = 1;
  EXPECT_TRUE(write_record_file(fs, t.path(), t / "f", as_bytes("x")).ok());
}

TEST(AtomicWrite, WriteThatAcceptsNothingFails) {
  TempDir t;
  struct Stuck : FsOps {
    int write(int, const void*, size_t, size_t& w) override {
      w = 0;
      return 0;
    }
  } stuck;
  auto r = write_record_file(stuck, t.path(), t / "f", as_bytes("x"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text, "failed to write whole buffer");
  EXPECT_EQ(testing::count_temporaries(t.path()), 0u);
}

}  // namespace
}  // namespace brenvik::store
