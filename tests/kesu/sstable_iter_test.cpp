// Point lookups, the block cache and the table and merge iterators, checked
// against an ordered map as the model.
#include <gtest/gtest.h>

#include <thread>

#include "kesu/kv_store/sstable.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;
using Model = std::map<std::string, std::string>;

struct TableConfig {
  size_t block_size;
  CompressionType compression;
  size_t large_every;  // every n-th value is larger than a block (0: never)
  bool with_markers;   // some values empty, written as deletion markers
};

Model random_model(std::mt19937_64& rng, size_t n, const TableConfig& cfg) {
  Model m;
  size_t i = 0;
  while (m.size() < n) {
    std::string v = random_value(rng, 24);
    if (cfg.large_every && ++i % cfg.large_every == 0) v = std::string(cfg.block_size + 10, 'L');
    if (cfg.with_markers && rng() % 7 == 0) v.clear();
    m[random_key(rng, 10)] = v;
  }
  return m;
}

SsTablePtr build_table(const Model& m, const TableConfig& cfg, bool reparse = true) {
  SsTableBuilder b(cfg.block_size, cfg.compression, /*should_encode_none=*/true);
  for (const auto& [k, v] : m) b.add(bv(k), bv(v));
  SsTablePtr t = b.finish();
  if (!reparse) return t;
  auto p = SsTable::parse(t->data(), true);
  EXPECT_TRUE(p.ok()) << p.error().to_string();
  return p.value();
}

KeyBound make_bound(int kind, const std::string& key) {
  switch (kind) {
    case 0:
      return KeyBound::included(bv(key));
    case 1:
      return KeyBound::excluded(bv(key));
    default:
      return KeyBound::unbounded();
  }
}

// Model range for the bounds; an inverted range is empty.
std::vector<std::pair<std::string, std::string>> model_range(const Model& m, const KeyBound& s,
                                                             const KeyBound& e) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& [k, v] : m) {
    const ByteView kb = bv(k);
    if (s.kind == KeyBound::Kind::Included && compare_bytes(kb, s.key) < 0) continue;
    if (s.kind == KeyBound::Kind::Excluded && compare_bytes(kb, s.key) <= 0) continue;
    if (e.kind == KeyBound::Kind::Included && compare_bytes(kb, e.key) > 0) continue;
    if (e.kind == KeyBound::Kind::Excluded && compare_bytes(kb, e.key) >= 0) continue;
    out.emplace_back(k, v);
  }
  return out;
}

const std::vector<TableConfig> kConfigs = {
    {64, CompressionType::None, 0, false},  {256, CompressionType::LZ4, 0, true},
    {4096, CompressionType::LZ4, 0, false}, {128, CompressionType::None, 9, true},
    {512, CompressionType::LZ4, 5, false},
};

TEST(SsTableIter, ScansMatchTheModelFromBothEnds) {
  std::mt19937_64 rng(1234);
  for (const TableConfig& cfg : kConfigs) {
    const Model m = random_model(rng, 300, cfg);
    SsTablePtr t = build_table(m, cfg);
    ASSERT_GT(t->block_count(), 1u) << cfg.block_size;

    // Bounds at every block edge plus random keys (present or not).
    std::vector<std::string> probes;
    for (const BlockMeta& bm : t->meta()) {
      probes.push_back(str(bm.first_key));
      probes.push_back(str(bm.max_key()));
      probes.push_back(str(bm.max_key()) + std::string(1, '\0'));
    }
    for (int i = 0; i < 60; ++i) probes.push_back(random_key(rng, 10));
    probes.push_back("");  // below every key

    for (int round = 0; round < 300; ++round) {
      const KeyBound s = make_bound(int(rng() % 3), probes[rng() % probes.size()]);
      const KeyBound e = make_bound(int(rng() % 3), probes[rng() % probes.size()]);
      const auto want = model_range(m, s, e);

      SsTableIter fwd(t, s, e);
      std::vector<std::pair<std::string, std::string>> got;
      while (auto kv = fwd.next()) got.emplace_back(str(kv->key), str(kv->value));
      ASSERT_EQ(got, want) << "forward, block size " << cfg.block_size;

      SsTableIter bwd(t, s, e);
      got.clear();
      while (auto kv = bwd.next_back()) got.emplace_back(str(kv->key), str(kv->value));
      std::reverse(got.begin(), got.end());
      ASSERT_EQ(got, want) << "backward, block size " << cfg.block_size;

      // Alternating ends in a random pattern: each entry exactly once, the
      // front ascending, the back descending; once one end runs dry so does
      // the other.
      SsTableIter mixed(t, s, e);
      std::vector<std::pair<std::string, std::string>> front, back;
      while (true) {
        const bool from_back = rng() % 2 == 1;
        std::optional<KvPair> kv = from_back ? mixed.next_back() : mixed.next();
        if (!kv) {
          ASSERT_FALSE(from_back ? mixed.next().has_value() : mixed.next_back().has_value());
          break;
        }
        (from_back ? back : front).emplace_back(str(kv->key), str(kv->value));
      }
      front.insert(front.end(), back.rbegin(), back.rend());
      ASSERT_EQ(front, want) << "alternating, block size " << cfg.block_size;
    }
  }
}

TEST(SsTableIter, PointLookupsMatchTheModel) {
  std::mt19937_64 rng(99);
  for (const TableConfig& cfg : kConfigs) {
    const Model m = random_model(rng, 400, cfg);
    SsTablePtr t = build_table(m, cfg);
    for (const auto& [k, v] : m) {
      auto got = t->get(bv(k));
      ASSERT_TRUE(got.has_value()) << k;
      EXPECT_EQ(str(*got), v);  // deletion markers come back empty
      EXPECT_TRUE(t->contains_key(bv(k)));
    }
    for (int i = 0; i < 300; ++i) {
      const std::string k = random_key(rng, 12);
      EXPECT_EQ(t->get(bv(k)).has_value(), m.count(k) == 1) << k;
      EXPECT_EQ(t->contains_key(bv(k)), m.count(k) == 1) << k;
    }
  }
}

TEST(SsTableIter, KeysOutsideTheRangeOrBetweenBlocksTouchNothingOrFindNothing) {
  Model m;
  for (int i = 0; i < 200; ++i) m[numkey("k", 1000 + i * 2)] = std::string(20, 'v');
  const TableConfig cfg{128, CompressionType::None, 0, false};
  SsTablePtr t = build_table(m, cfg, /*reparse=*/false);  // cache starts empty
  ASSERT_GT(t->block_count(), 3u);
  EXPECT_FALSE(t->get(bv("a")).has_value());
  EXPECT_FALSE(t->get(bv("z")).has_value());
  EXPECT_FALSE(t->contains_key(bv("k0")));
  EXPECT_EQ(t->block_cache().entry_count(), 0u);

  // Between the last key of block 1 and the first key of block 2.
  const std::string between = str(t->meta()[1].max_key()) + "5";
  ASSERT_LT(compare_bytes(bv(between), t->meta()[2].first_key), 0);
  EXPECT_FALSE(t->get(bv(between)).has_value());
  EXPECT_FALSE(t->contains_key(bv(between)));
}

TEST(SsTableIter, ExclusiveStartAtABlockEndMovesToTheNextBlock) {
  Model m;
  for (int i = 0; i < 100; ++i) m[numkey("k", 100 + i)] = std::string(20, 'v');
  SsTablePtr t = build_table(m, {128, CompressionType::LZ4, 0, false});
  ASSERT_GT(t->block_count(), 2u);
  const std::string edge = str(*t->meta()[0].last_key);
  SsTableIter inc(t, KeyBound::included(bv(edge)), KeyBound::unbounded());
  EXPECT_EQ(str(inc.next()->key), edge);
  SsTableIter exc(t, KeyBound::excluded(bv(edge)), KeyBound::unbounded());
  EXPECT_EQ(str(exc.next()->key), str(t->meta()[1].first_key));
  SsTableIter first(t, KeyBound::included(t->meta()[1].first_key), KeyBound::unbounded());
  EXPECT_EQ(str(first.next()->key), str(t->meta()[1].first_key));
}

TEST(SsTableIter, MergeTakesTheNewestTableOnEqualKeys) {
  const TableConfig cfg{4096, CompressionType::None, 0, true};
  // Newest first: the newest value of "k" is a deletion marker.
  const std::vector<Model> tables = {
      {{"k", ""}, {"m", "new-m"}},
      {{"a", "mid-a"}, {"k", "mid-k"}, {"z", "mid-z"}},
      {{"a", "old-a"}, {"k", "old-k"}, {"m", "old-m"}, {"q", "old-q"}},
  };
  const std::vector<std::pair<std::string, std::string>> want = {
      {"a", "mid-a"}, {"k", ""}, {"m", "new-m"}, {"q", "old-q"}, {"z", "mid-z"}};
  for (int dir = 0; dir < 3; ++dir) {
    std::vector<SsTableIter> iters;
    for (const Model& m : tables) {
      iters.emplace_back(build_table(m, cfg), KeyBound::unbounded(), KeyBound::unbounded());
    }
    MergeIterator it(std::move(iters));
    std::vector<std::pair<std::string, std::string>> front, back;
    for (int step = 0;; ++step) {
      const bool from_back = dir == 1 || (dir == 2 && step % 2 == 1);
      auto kv = from_back ? it.next_back() : it.next();
      if (!kv) {
        kv = from_back ? it.next() : it.next_back();
        if (!kv) break;
        (from_back ? front : back).emplace_back(str(kv->key), str(kv->value));
        continue;
      }
      (from_back ? back : front).emplace_back(str(kv->key), str(kv->value));
    }
    std::reverse(back.begin(), back.end());
    front.insert(front.end(), back.begin(), back.end());
    EXPECT_EQ(front, want) << "direction " << dir;
  }
}

TEST(BlockCache, LoadsEachBlockOnceAndStaysWithinItsWeight) {
  std::mt19937_64 rng(5);
  Model m;
  while (m.size() < 3000) m[random_key(rng, 14)] = random_value(rng, 30);
  SsTablePtr t = build_table(m, {4096, CompressionType::LZ4, 0, false}, /*reparse=*/false);
  std::vector<std::vector<BlockPtr>> seen(4, std::vector<BlockPtr>(t->block_count()));
  std::vector<std::thread> threads;
  for (size_t th = 0; th < seen.size(); ++th) {
    threads.emplace_back([&, th] {
      for (size_t i = 0; i < t->block_count(); ++i) seen[th][i] = t->get_block(i);
    });
  }
  for (auto& th : threads) th.join();
  for (size_t i = 0; i < t->block_count(); ++i) {
    for (size_t th = 1; th < seen.size(); ++th) EXPECT_EQ(seen[th][i], seen[0][i]) << i;
  }

  // A table far bigger than the cache: the cache keeps at most 4 MiB.
  Model big;
  for (int i = 0; i < 3000; ++i) big[numkey("key", 100000 + i)] = std::string(3000, 'x');
  SsTablePtr bt = build_table(big, {65536, CompressionType::LZ4, 0, false}, false);
  for (size_t i = 0; i < bt->block_count(); ++i) ASSERT_TRUE(bt->get_block(i));
  EXPECT_LE(bt->block_cache().total_weight(), kBlockCacheCapacity);
  EXPECT_GT(bt->block_cache().total_weight(), 0u);
  // Evicted blocks are decoded again on demand.
  for (const auto& [k, v] : big) ASSERT_EQ(bt->get(bv(k))->size(), v.size());
}

}  // namespace
}  // namespace kesu

namespace kesu {
namespace {

using namespace kvtest;

// A table whose metas were never checked against its blocks (built directly,
// bypassing parse): reads find nothing in the undecodable block instead of
// stopping the program.
TEST(SsTableIter, UndecodableBlockReadsAsEmpty) {
  Bytes data = {'K', 'E', 'S', 'U', 0};
  const Bytes good = with_checksum(plain_block("1", {{0, "m", "2"}}));
  brenvik::append(data, good);
  const size_t bad_at = data.size();
  brenvik::append(data, with_checksum(Bytes{0xff, 0xff, 0xff}));  // count 65535, 3 bytes
  std::vector<BlockMeta> metas(2);
  metas[0] = {5, false, CompressionType::None, sb("k"), sb("m")};
  metas[1] = {bad_at, false, CompressionType::None, sb("x"), sb("y")};
  auto t = std::make_shared<const SsTable>(SharedBytes::copy_of(ByteView(data)), metas, data.size(),
                                           kDefaultMaxLz4LargeValue);
  EXPECT_EQ(str(*t->get(bv("m"))), "2");
  EXPECT_FALSE(t->get(bv("x")).has_value());
  EXPECT_FALSE(t->contains_key(bv("y")));
  std::vector<std::string> keys;
  SsTableIter it(t, KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it.next()) keys.push_back(str(kv->key));
  EXPECT_EQ(keys, (std::vector<std::string>{"k", "m"}));
  SsTableIter back(t, KeyBound::unbounded(), KeyBound::unbounded());
  keys.clear();
  while (auto kv = back.next_back()) keys.push_back(str(kv->key));
  EXPECT_EQ(keys, (std::vector<std::string>{"m", "k"}));
}

}  // namespace
}  // namespace kesu
