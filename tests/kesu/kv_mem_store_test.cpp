// The layered memory store: deletion markers, precedence of layers, merged
// scans, compare-and-swap, import and copies, checked case by case and
// against a layered model under random operations.
#include <gtest/gtest.h>

#include <set>

#include "kesu/kv_store/kv_wrapper.h"
#include "kesu/kv_store/mem_store.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;
using Model = std::map<std::string, std::string>;

// A table file holding the given entries (empty values written as markers).
SharedBytes table_file(const Model& m, CompressionType c = CompressionType::None) {
  MemKvStore s(MemKvStoreOptions{64, c, true});
  for (const auto& [k, v] : m) s.set(sb(k), sb(v));
  return s.export_all();
}

std::vector<std::pair<std::string, std::string>> scan_all(const KvStore& s) {
  std::vector<std::pair<std::string, std::string>> out;
  auto it = s.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it->next()) out.emplace_back(str(kv->key), str(kv->value));
  return out;
}

TEST(MemKvStore, EmptyKeyIsNeverStored) {
  MemKvStore s;
  EXPECT_FALSE(s.set(SharedBytes(), sb("v")));
  EXPECT_FALSE(s.get({}).has_value());
  EXPECT_FALSE(s.contains_key({}));
  EXPECT_EQ(s.len(), 0u);
  EXPECT_TRUE(s.is_empty());
  EXPECT_FALSE(s.compare_and_swap(SharedBytes(), std::nullopt, sb("v")));
  EXPECT_FALSE(s.remove(SharedBytes()).has_value());
  EXPECT_TRUE(s.mem_table().empty());
}

TEST(MemKvStore, KeysTooLongForATableAreRefused) {
  MemKvStore s;
  const std::string longest(65535, 'k');
  const std::string too_long(65536, 'k');
  EXPECT_TRUE(s.set(sb(longest), sb("v")));
  EXPECT_FALSE(s.set(sb(too_long), sb("v")));
  EXPECT_FALSE(s.contains_key(bv(too_long)));
  MemKvStore back;
  ASSERT_TRUE(back.import_all(s.export_all()).ok());
  EXPECT_EQ(str(*back.get(bv(longest))), "v");
}

TEST(MemKvStore, DeletionMarkerHidesOlderTablesButCountsInSize) {
  MemKvStore s;
  ASSERT_TRUE(s.import_all(table_file({{"a", "1"}, {"k", "old"}})).ok());
  const size_t table_bytes = s.tables()[0]->data().size();
  s.set(sb("k"), SharedBytes());
  EXPECT_FALSE(s.get(bv("k")).has_value());
  EXPECT_FALSE(s.contains_key(bv("k")));
  EXPECT_EQ(scan_all(s), (std::vector<std::pair<std::string, std::string>>{{"a", "1"}}));
  EXPECT_EQ(s.len(), 1u);
  EXPECT_EQ(s.size(), table_bytes + 1);  // the marker's key
}

TEST(MemKvStore, NewerTableWinsAndScanYieldsOnce) {
  MemKvStore s;
  ASSERT_TRUE(s.import_all(table_file({{"k", "older"}, {"x", "1"}})).ok());
  ASSERT_TRUE(s.import_all(table_file({{"k", "newer"}, {"y", ""}})).ok());
  ASSERT_TRUE(s.import_all(table_file({{"x", ""}})).ok());
  EXPECT_EQ(str(*s.get(bv("k"))), "newer");
  EXPECT_FALSE(s.get(bv("x")).has_value());  // newest table deletes it
  EXPECT_FALSE(s.contains_key(bv("x")));
  EXPECT_FALSE(s.contains_key(bv("y")));
  EXPECT_EQ(scan_all(s), (std::vector<std::pair<std::string, std::string>>{{"k", "newer"}}));
}

TEST(MemKvStore, RemoveReturnsTheLiveValueOnce) {
  MemKvStore s;
  ASSERT_TRUE(s.import_all(table_file({{"t", "in-table"}})).ok());
  s.set(sb("m"), sb("in-memory"));
  EXPECT_EQ(str(*s.remove(sb("m"))), "in-memory");
  EXPECT_FALSE(s.remove(sb("m")).has_value());
  EXPECT_EQ(str(*s.remove(sb("t"))), "in-table");
  EXPECT_FALSE(s.remove(sb("t")).has_value());
  EXPECT_FALSE(s.remove(sb("never")).has_value());
  EXPECT_TRUE(s.is_empty());
}

TEST(MemKvStore, CompareAndSwap) {
  struct Case {
    const char* name;
    std::optional<std::string> current;  // nothing: absent; "": deleted
    std::optional<std::string> expected;
    bool swaps;
  };
  const std::vector<Case> cases = {
      {"nothing expected, absent", std::nullopt, std::nullopt, true},
      {"nothing expected, deleted", std::string(""), std::nullopt, true},
      {"nothing expected, live", std::string("v"), std::nullopt, false},
      {"value expected, equal", std::string("v"), std::string("v"), true},
      {"value expected, different", std::string("v"), std::string("w"), false},
      {"value expected, absent", std::nullopt, std::string("v"), false},
      {"value expected, deleted", std::string(""), std::string("v"), false},
  };
  for (const Case& c : cases) {
    for (bool in_table : {false, true}) {
      MemKvStore s;
      if (c.current) {
        if (in_table) {
          ASSERT_TRUE(s.import_all(table_file({{"k", *c.current}})).ok());
        } else {
          s.set(sb("k"), sb(*c.current));
        }
      }
      std::optional<SharedBytes> exp;
      if (c.expected) exp = sb(*c.expected);
      EXPECT_EQ(s.compare_and_swap(sb("k"), exp, sb("new")), c.swaps) << c.name;
      const std::string after = s.get(bv("k")) ? str(*s.get(bv("k"))) : "<none>";
      const std::string before = c.current && !c.current->empty() ? *c.current : "<none>";
      EXPECT_EQ(after, c.swaps ? "new" : before) << c.name << (in_table ? " (table)" : "");
    }
  }
}

TEST(MemKvStore, ImportChecksAndLeavesTheStoreUnchangedOnFailure) {
  MemKvStore s;
  EXPECT_TRUE(s.import_all(SharedBytes()).ok());
  EXPECT_TRUE(s.tables().empty());

  Bytes file = table_file({{"a", "1"}, {"b", "2"}}).to_vector();
  file[5] ^= 0x20;  // the first block's value byte
  auto r = s.import_all(SharedBytes::copy_of(ByteView(file)));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), "Decode error: Checksum mismatch. The data is corrupted.");
  EXPECT_TRUE(s.tables().empty());
  EXPECT_TRUE(s.import_all_unverified(SharedBytes::copy_of(ByteView(file))).ok());
  EXPECT_EQ(s.tables().size(), 1u);

  auto bad = s.import_all(sb("KESU\x01 some bytes"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(),
            "Decode error: (Invalid schema version 1, current support max version is 0)");
  EXPECT_EQ(s.tables().size(), 1u);
}

TEST(MemKvStore, CloneIsIndependent) {
  MemKvStore s;
  ASSERT_TRUE(s.import_all(table_file({{"t", "1"}})).ok());
  s.set(sb("m"), sb("2"));
  KvWrapper copy = s.clone_store();
  copy.with_store([](KvStore& c) { c.set(sb("m"), sb("changed")); });
  copy.remove(sb("t"));
  s.set(sb("n"), sb("3"));
  EXPECT_EQ(str(*s.get(bv("m"))), "2");
  EXPECT_EQ(str(*s.get(bv("t"))), "1");
  EXPECT_FALSE(copy.get(bv("n")).has_value());
  EXPECT_EQ(str(*copy.get(bv("m"))), "changed");
  EXPECT_FALSE(copy.get(bv("t")).has_value());
}

TEST(MemKvStore, DebugTextNamesTheFields) {
  MemKvStore s;
  s.set(sb("k"), sb("v"));
  const std::string text = s.fmt();
  for (const char* f : {"MemKvStore", "mem_table", "ss_table", "block_size", "compression_type",
                        "should_encode_none"}) {
    EXPECT_NE(text.find(f), std::string::npos) << f;
  }
  s.export_all();
  EXPECT_NE(s.fmt().find("SsTable"), std::string::npos);
}

// Layered model: a memory map over a list of tables, newest last.
struct LayeredModel {
  Model mem;
  std::vector<Model> tables;
  std::optional<std::string> deciding(const std::string& k) const {
    if (auto it = mem.find(k); it != mem.end()) return it->second;
    for (auto t = tables.rbegin(); t != tables.rend(); ++t) {
      if (auto it = t->find(k); it != t->end()) return it->second;
    }
    return std::nullopt;
  }
  std::optional<std::string> get(const std::string& k) const {
    auto v = deciding(k);
    if (!v || v->empty()) return std::nullopt;
    return v;
  }
  Model live() const {
    Model out;
    for (const Model& t : tables) {
      for (const auto& [k, v] : t) out[k] = v;
    }
    for (const auto& [k, v] : mem) out[k] = v;
    std::erase_if(out, [](const auto& kv) { return kv.second.empty(); });
    return out;
  }
};

TEST(MemKvStore, RandomOperationsMatchALayeredModel) {
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 6; ++trial) {
    const bool encode_none = trial % 2 == 1;
    const CompressionType comp = trial % 3 == 0 ? CompressionType::None : CompressionType::LZ4;
    MemKvStore s(MemKvStoreOptions{size_t(64) << (trial % 4), comp, encode_none});
    LayeredModel model;
    for (int op = 0; op < 1500; ++op) {
      const std::string k = random_key(rng, 4);
      switch (rng() % 10) {
        case 0:
        case 1:
        case 2: {
          const std::string v = random_value(rng, 30);
          s.set(sb(k), sb(v));
          model.mem[k] = v;
          break;
        }
        case 3: {
          auto got = s.remove(sb(k));
          auto want = model.get(k);
          ASSERT_EQ(got.has_value(), want.has_value()) << k;
          if (want) {
            EXPECT_EQ(str(*got), *want);
          }
          model.mem[k] = "";
          break;
        }
        case 4: {
          auto cur = model.get(k);
          const bool use_current = rng() % 2 == 0;
          std::optional<SharedBytes> exp;
          if (use_current && cur) exp = sb(*cur);
          if (!use_current) exp = sb("x");
          const bool want = use_current || (cur && *cur == "x");
          ASSERT_EQ(s.compare_and_swap(sb(k), exp, sb("cas")), want) << k;
          if (want) model.mem[k] = "cas";
          break;
        }
        case 5:
          if (rng() % 8 == 0) {
            const SharedBytes bytes = s.export_all();
            // The store collapses to one table: live keys with their values,
            // deleted keys as markers only when markers are written.
            Model t;
            std::set<std::string> keys;
            for (const auto& [kk, vv] : model.mem) keys.insert(kk);
            for (const Model& tbl : model.tables)
              for (const auto& [kk, vv] : tbl) keys.insert(kk);
            for (const std::string& kk : keys) {
              const std::string d = *model.deciding(kk);
              if (!d.empty() || encode_none) t[kk] = d;
            }
            ASSERT_EQ(bytes.empty(), t.empty());
            if (!bytes.empty()) {
              ASSERT_EQ(s.tables().size(), 1u);
              ASSERT_TRUE(s.mem_table().empty());
              model.mem.clear();
              model.tables = {t};
            }
          }
          break;
        case 6:
          if (rng() % 10 == 0) {
            Model t;
            for (int i = 0; i < 20; ++i) {
              t[random_key(rng, 4)] = rng() % 4 == 0 ? "" : random_value(rng, 20);
            }
            ASSERT_TRUE(s.import_all(table_file(t, comp)).ok());
            model.tables.push_back(t);
          }
          break;
        default: {
          auto got = s.get(bv(k));
          auto want = model.get(k);
          ASSERT_EQ(got.has_value(), want.has_value()) << k << " op " << op;
          if (want) {
            ASSERT_EQ(str(*got), *want);
          }
          ASSERT_EQ(s.contains_key(bv(k)), want.has_value());
        }
      }
      if (op % 100 == 99) {
        const Model live = model.live();
        std::vector<std::pair<std::string, std::string>> want(live.begin(), live.end());
        ASSERT_EQ(scan_all(s), want) << "trial " << trial << " op " << op;
        ASSERT_EQ(s.len(), live.size());
        // A bounded scan from the back.
        const std::string lo = random_key(rng, 3);
        const std::string hi = random_key(rng, 3);
        if (lo <= hi) {
          std::vector<std::pair<std::string, std::string>> got, exp;
          auto it = s.scan(KeyBound::excluded(bv(lo)), KeyBound::included(bv(hi)));
          while (auto kv = it->next_back()) got.emplace_back(str(kv->key), str(kv->value));
          for (auto i = live.rbegin(); i != live.rend(); ++i) {
            if (i->first > lo && i->first <= hi) exp.emplace_back(i->first, i->second);
          }
          ASSERT_EQ(got, exp);
        }
      }
    }
  }
}

TEST(MemKvStore, AlternatingScanOverLayersYieldsEveryLiveKeyOnce) {
  std::mt19937_64 rng(8);
  MemKvStore s(MemKvStoreOptions{128, CompressionType::LZ4, true});
  LayeredModel model;
  for (int layer = 0; layer < 3; ++layer) {
    Model t;
    for (int i = 0; i < 80; ++i) t[random_key(rng, 5)] = rng() % 5 == 0 ? "" : random_value(rng);
    ASSERT_TRUE(s.import_all(table_file(t)).ok());
    model.tables.push_back(t);
  }
  for (int i = 0; i < 80; ++i) {
    const std::string k = random_key(rng, 5);
    const std::string v = rng() % 5 == 0 ? "" : random_value(rng);
    s.set(sb(k), sb(v));
    model.mem[k] = v;
  }
  const Model live = model.live();
  const std::vector<std::pair<std::string, std::string>> want(live.begin(), live.end());
  for (int pattern = 0; pattern < 20; ++pattern) {
    auto it = s.scan(KeyBound::unbounded(), KeyBound::unbounded());
    std::vector<std::pair<std::string, std::string>> front, back;
    while (true) {
      const bool from_back = rng() % 2 == 1;
      auto kv = from_back ? it->next_back() : it->next();
      if (!kv) {
        ASSERT_FALSE(from_back ? it->next().has_value() : it->next_back().has_value());
        break;
      }
      (from_back ? back : front).emplace_back(str(kv->key), str(kv->value));
    }
    front.insert(front.end(), back.rbegin(), back.rend());
    ASSERT_EQ(front, want) << "pattern " << pattern;
  }
}

}  // namespace
}  // namespace kesu
