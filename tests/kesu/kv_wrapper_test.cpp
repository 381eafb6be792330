// The locked, shared store handle.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "kesu/kv_store/kv_wrapper.h"
#include "kesu/kv_store/mem_store.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;

KvWrapper store_with(std::initializer_list<std::pair<const char*, const char*>> kvs) {
  KvWrapper w(std::make_unique<MemKvStore>());
  w.with_store([&](KvStore& s) {
    for (const auto& [k, v] : kvs) s.set(sb(k), sb(v));
  });
  return w;
}

std::vector<std::string> keys_of(const KvWrapper& w) {
  std::vector<std::string> out;
  for (const KvPair& kv : w.scan_all()) out.push_back(str(kv.key));
  return out;
}

TEST(KvWrapper, RetainKeys) {
  struct Case {
    const char* name;
    std::vector<std::string> keep;
    std::vector<std::string> left;
  };
  const std::vector<Case> cases = {
      {"empty keep set empties the store", {}, {}},
      {"every key kept changes nothing", {"a", "b", "c"}, {"a", "b", "c"}},
      {"unknown keys are ignored", {"b", "zz", "0"}, {"b"}},
      {"subset", {"a", "c"}, {"a", "c"}},
  };
  for (const Case& c : cases) {
    KvWrapper w = store_with({{"a", "1"}, {"b", "2"}, {"c", "3"}});
    w.export_all();  // keys live in a table, not only in memory
    std::set<Bytes, BytesLess> keep;
    for (const std::string& k : c.keep) keep.insert(brenvik::to_bytes(k));
    w.retain_keys(keep);
    EXPECT_EQ(keys_of(w), c.left) << c.name;
    EXPECT_EQ(w.is_empty(), c.left.empty()) << c.name;
  }
}

TEST(KvWrapper, SetFrontiersOverwritesAndScanIsOrdered) {
  KvWrapper w = store_with({{"zz", "1"}, {"a", "2"}});
  w.set_frontiers(sb("first"));
  w.set_frontiers(sb("second"));
  EXPECT_EQ(str(*w.get(bv("fr"))), "second");
  EXPECT_EQ(keys_of(w), (std::vector<std::string>{"a", "fr", "zz"}));
  EXPECT_EQ(str(*w.remove(sb("a"))), "2");
  EXPECT_FALSE(w.get(bv("a")).has_value());
}

TEST(KvWrapper, CopiesShareTheStore) {
  KvWrapper a(std::make_unique<MemKvStore>());
  KvWrapper b = a;
  EXPECT_TRUE(b.shares_store_with(a));
  a.set_frontiers(sb("x"));
  EXPECT_EQ(str(*b.get(bv("fr"))), "x");
  b.remove(sb("fr"));
  EXPECT_TRUE(a.is_empty());

  // Concurrent writers through copies: every write lands.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copy = a, t]() mutable {
      for (int i = 0; i < 200; ++i) {
        copy.with_store(
            [&](KvStore& s) { s.set(sb(numkey("t", t) + "-" + std::to_string(i)), sb("v")); });
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(b.scan_all().size(), 800u);
}

TEST(KvWrapper, ImportErrorsPassThroughUnchanged) {
  KvWrapper w(std::make_unique<MemKvStore>());
  auto r = w.import_all(sb("NOPE and more bytes"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Decode error: (Invalid magic number)");
  KvWrapper src = store_with({{"k", "v"}});
  ASSERT_TRUE(w.import_all(src.export_all()).ok());
  EXPECT_EQ(str(*w.get(bv("k"))), "v");
}

// A store whose get fails with an exception, standing for a bug inside a
// store call: the handle's lock is poisoned from then on.
class ThrowingStore final : public KvStore {
 public:
  std::string fmt() const override { return "ThrowingStore"; }
  std::optional<SharedBytes> get(ByteView) const override { throw std::logic_error("bug"); }
  bool set(const SharedBytes&, const SharedBytes&) override { return true; }
  bool compare_and_swap(const SharedBytes&, const std::optional<SharedBytes>&,
                        const SharedBytes&) override {
    return false;
  }
  std::optional<SharedBytes> remove(const SharedBytes&) override { return std::nullopt; }
  bool contains_key(ByteView) const override { return false; }
  std::unique_ptr<KvIterator> scan(const KeyBound&, const KeyBound&) const override {
    return nullptr;
  }
  size_t len() const override { return 0; }
  bool is_empty() const override { return true; }
  size_t size() const override { return 0; }
  SharedBytes export_all() override { return {}; }
  brenvik::Result<void, std::string> import_all(const SharedBytes&) override { return {}; }
  brenvik::Result<void, std::string> import_all_unverified(const SharedBytes&) override {
    return {};
  }
  KvWrapper clone_store() const override { return KvWrapper(std::make_unique<ThrowingStore>()); }
};

TEST(KvWrapper, AFailedStoreCallPoisonsTheLock) {
  KvWrapper w(std::make_unique<ThrowingStore>());
  EXPECT_TRUE(w.is_empty());
  EXPECT_THROW(w.get(bv("k")), std::logic_error);
  try {
    w.is_empty();
    FAIL() << "a poisoned lock must stop the caller";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "poisoned mutex");
  }
}

}  // namespace
}  // namespace kesu
