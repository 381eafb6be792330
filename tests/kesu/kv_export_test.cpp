// Export and compaction: round trips, identical re-export, verbatim copy of
// untouched blocks and the handling of deletion markers.
#include <gtest/gtest.h>

#include "kesu/kv_store/mem_store.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;
using Model = std::map<std::string, std::string>;

Model contents(const KvStore& s) {
  Model out;
  auto it = s.scan(KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it->next()) out[str(kv->key)] = str(kv->value);
  return out;
}

// The stored bytes (payload and checksum) of block i.
Bytes block_file_bytes(const SsTable& t, size_t i) {
  const size_t s = t.meta()[i].offset;
  const size_t e = i + 1 < t.block_count() ? t.meta()[i + 1].offset : t.meta_offset();
  return Bytes(t.data().data() + s, t.data().data() + e);
}

TEST(KvExport, RandomMapsRoundTripThroughExportAndParse) {
  std::mt19937_64 rng(31);
  struct Case {
    size_t block_size;
    CompressionType compression;
    size_t entries;
  };
  const std::vector<Case> cases = {{4096, CompressionType::LZ4, 2000},
                                   {4096, CompressionType::None, 2000},
                                   {128, CompressionType::LZ4, 500},
                                   {1 << 16, CompressionType::LZ4, 5000},
                                   {1 << 20, CompressionType::None, 5000}};
  for (const Case& c : cases) {
    Model m;
    while (m.size() < c.entries) {
      std::string v = random_value(rng, 60);
      if (rng() % 50 == 0)
        v = std::string(std::min<size_t>(c.block_size, 65535) + 1, 'B');  // large
      if (rng() % 3 == 0) v = std::string(v.size(), 'c');                 // compressible
      m[random_key(rng, 20)] = v;
    }
    MemKvStore s(MemKvStoreOptions{c.block_size, c.compression, false});
    for (const auto& [k, v] : m) s.set(sb(k), sb(v));
    const SharedBytes bytes = s.export_all();
    auto parsed = SsTable::parse(bytes, true);
    ASSERT_TRUE(parsed.ok()) << parsed.error().to_string();
    MemKvStore back;
    ASSERT_TRUE(back.import_all(bytes).ok());
    EXPECT_EQ(contents(back), m) << c.block_size;
    for (const auto& [k, v] : m) ASSERT_EQ(str(*back.get(bv(k))), v);
    // Blocks respect the format's limits.
    for (size_t i = 0; i < parsed.value()->block_count(); ++i) {
      BlockPtr b = parsed.value()->get_block(i);
      if (!b->is_large()) {
        EXPECT_LE(b->data_len(), kMaxEntriesLen);
      }
    }
    if (c.compression == CompressionType::LZ4) {
      size_t lz4_blocks = 0;
      for (const BlockMeta& bm : parsed.value()->meta()) {
        lz4_blocks += bm.compression_type == CompressionType::LZ4;
      }
      EXPECT_GT(lz4_blocks, 0u);
    }
  }
}

TEST(KvExport, SecondExportReturnsTheSameBytesAndChangesNothing) {
  MemKvStore s;
  for (int i = 0; i < 1000; ++i) s.set(sb(numkey("key", i)), sb("value"));
  const SharedBytes first = s.export_all();
  ASSERT_FALSE(first.empty());
  const SsTable* table = s.tables()[0].get();
  const SharedBytes second = s.export_all();
  EXPECT_EQ(second.data(), first.data());  // the same buffer, not a copy
  EXPECT_EQ(second, first);
  EXPECT_EQ(s.tables()[0].get(), table);

  // A fresh store importing the file exports it unchanged too.
  MemKvStore other;
  ASSERT_TRUE(other.import_all(first).ok());
  EXPECT_EQ(other.export_all(), first);
}

// Import a table whose block checksums are all wrong (unverified import):
// a block copied verbatim keeps its wrong checksum, a rebuilt one gets a
// correct checksum. This tells copying apart from re-encoding, which would
// produce the same payload.
struct MarkedStore {
  MemKvStore store;
  SsTablePtr original;
  explicit MarkedStore(const Model& m, MemKvStoreOptions opt = {}) : store(opt) {
    MemKvStore w(opt);
    for (const auto& [k, v] : m) w.set(sb(k), sb(v));
    Bytes file = w.export_all().to_vector();
    auto t = SsTable::parse(SharedBytes::copy_of(ByteView(file)), true).value();
    for (size_t i = 0; i < t->block_count(); ++i) {
      const size_t end = i + 1 < t->block_count() ? t->meta()[i + 1].offset : t->meta_offset();
      file[end - 1] ^= 0x5a;
    }
    const SharedBytes marked = SharedBytes::copy_of(ByteView(file));
    EXPECT_TRUE(store.import_all_unverified(marked).ok());
    original = store.tables()[0];
    // A table with wrong checksums is otherwise rebuilt whole on export
    // (UnverifiedTableWithBadChecksumsIsRebuiltOnExport).
    original->TEST_trust_block_checksums();
  }
  bool copied(const SsTable& out, size_t out_idx, size_t orig_idx) const {
    return block_file_bytes(out, out_idx) == block_file_bytes(*original, orig_idx);
  }
};

Model numbered(int n, size_t value_len = 40, char fill = 'v') {
  Model m;
  for (int i = 0; i < n; ++i) m[numkey("k", 10000 + i)] = std::string(value_len, fill);
  return m;
}

// A table imported without verification whose block checksums are wrong must
// not reach an export byte for byte: both one-table shortcuts (nothing in
// memory: the file as is; entries in memory: untouched blocks copied) have
// to give a file that the store's own verified import accepts, with the same
// contents. A table whose checksums are right keeps the shortcut.
TEST(KvExport, UnverifiedTableWithBadChecksumsIsRebuiltOnExport) {
  const Model base = numbered(600);
  MemKvStore writer;
  for (const auto& [k, v] : base) writer.set(sb(k), sb(v));
  const Bytes good = writer.export_all().to_vector();
  Bytes bad = good;
  auto t = SsTable::parse(SharedBytes::copy_of(ByteView(good)), true).value();
  ASSERT_GT(t->block_count(), 3u);
  for (size_t i = 0; i < t->block_count(); i += 2) {
    const size_t end = i + 1 < t->block_count() ? t->meta()[i + 1].offset : t->meta_offset();
    bad[end - 1] ^= 0x5a;  // checksum of every other block
  }
  struct Case {
    const char* name;
    bool with_memory_entry;
  };
  for (const Case c : {Case{"nothing in memory", false}, Case{"one entry in memory", true}}) {
    SCOPED_TRACE(c.name);
    MemKvStore s;
    ASSERT_FALSE(s.import_all(SharedBytes::copy_of(ByteView(bad))).ok());
    ASSERT_TRUE(s.import_all_unverified(SharedBytes::copy_of(ByteView(bad))).ok());
    Model want = base;
    if (c.with_memory_entry) {
      s.set(sb("k10300"), sb("changed"));
      want["k10300"] = "changed";
    }
    const SharedBytes out = s.export_all();
    MemKvStore check;
    auto r = check.import_all(out);
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(contents(check), want);
    EXPECT_EQ(contents(s), want);
    // Once rebuilt, the store's own table passes too.
    MemKvStore again;
    EXPECT_TRUE(again.import_all(s.export_all()).ok());
  }
  // Right checksums, unverified import: the file comes back as it went in.
  MemKvStore s;
  const SharedBytes in = SharedBytes::copy_of(ByteView(good));
  ASSERT_TRUE(s.import_all_unverified(in).ok());
  EXPECT_EQ(s.export_all().data(), in.data());
}

TEST(KvExport, NewKeyAfterEveryBlockCopiesTheBlocksVerbatim) {
  MarkedStore ms(numbered(2000));
  const size_t n = ms.original->block_count();
  ASSERT_GT(n, 5u);
  ms.store.set(sb("zzz"), sb("last"));
  const SharedBytes out = ms.store.export_all();
  const SsTable& t = *ms.store.tables()[0];
  ASSERT_EQ(out.data(), t.data().data());
  // Every block that stands alone (all but a short last one) is copied.
  for (size_t i = 0; i + 1 < n; ++i) EXPECT_TRUE(ms.copied(t, i, i)) << "block " << i;
  EXPECT_EQ(str(t.meta().back().max_key()), "zzz");
  MemKvStore check;
  ASSERT_TRUE(check.import_all_unverified(out).ok());
  EXPECT_EQ(str(*check.get(bv("zzz"))), "last");
  EXPECT_EQ(check.len(), 2001u);
}

TEST(KvExport, ChangedKeyRebuildsOnlyItsBlock) {
  MarkedStore ms(numbered(2000));
  const size_t n = ms.original->block_count();
  const size_t target = n / 2;
  const std::string key = str(ms.original->meta()[target].first_key);
  ms.store.set(sb(key), sb("replaced"));
  ms.store.export_all();
  const SsTable& t = *ms.store.tables()[0];
  ASSERT_EQ(t.block_count(), n);
  for (size_t i = 0; i + 1 < n; ++i) {
    EXPECT_EQ(ms.copied(t, i, i), i != target) << "block " << i;
  }
  auto fresh = SsTable::parse(t.data(), false).value();
  EXPECT_EQ(str(*fresh->get(bv(key))), "replaced");
  // The rebuilt block carries a correct checksum.
  const Bytes rebuilt = block_file_bytes(t, target);
  EXPECT_EQ(brenvik::load_u32_le(rebuilt.data() + rebuilt.size() - 4),
            xxh32_kesu(ByteView(rebuilt).first(rebuilt.size() - 4)));
}

TEST(KvExport, PlainBlocksAreReencodedWhenLz4IsRequested) {
  std::mt19937_64 rng(3);
  Model m;
  for (int i = 0; i < 100; ++i) {
    std::string v(300, '\0');
    for (char& ch : v) ch = char(rng());
    m[numkey("k", 10000 + i)] = v;
  }
  MarkedStore ms(m);  // incompressible: stored plain although LZ4 was requested
  ASSERT_EQ(ms.original->meta()[0].compression_type, CompressionType::None);
  ms.store.set(sb("zzz"), sb("x"));
  ms.store.export_all();
  const SsTable& t = *ms.store.tables()[0];
  EXPECT_FALSE(ms.copied(t, 0, 0));
  EXPECT_EQ(t.meta()[0].compression_type, CompressionType::None);
  EXPECT_EQ(block_file_bytes(t, 0).size(), block_file_bytes(*ms.original, 0).size());
}

TEST(KvExport, DeletionMarkers) {
  {
    SCOPED_TRACE("marker for a table key, markers not written");
    MemKvStore s;
    for (const auto& [k, v] : numbered(300)) s.set(sb(k), sb(v));
    s.export_all();
    s.remove(sb("k10150"));
    const SharedBytes out = s.export_all();
    auto t = SsTable::parse(out, true).value();
    EXPECT_FALSE(t->contains_key(bv("k10150")));
    EXPECT_FALSE(s.contains_key(bv("k10150")));
    EXPECT_TRUE(s.mem_table().empty());
    EXPECT_EQ(s.len(), 299u);
  }
  {
    SCOPED_TRACE("only markers, no tables");
    MemKvStore s;
    s.set(sb("a"), SharedBytes());
    s.set(sb("b"), SharedBytes());
    EXPECT_TRUE(s.export_all().empty());
    EXPECT_EQ(s.mem_table().size(), 2u);
    EXPECT_TRUE(s.tables().empty());
  }
  {
    SCOPED_TRACE("markers written hide older tables after import");
    MemKvStore s(MemKvStoreOptions{4096, CompressionType::LZ4, true});
    s.set(sb("gone"), SharedBytes());
    s.set(sb("kept"), sb("1"));
    const SharedBytes with_markers = s.export_all();
    auto t = SsTable::parse(with_markers, true).value();
    ASSERT_TRUE(t->contains_key(bv("gone")));
    EXPECT_TRUE(t->get(bv("gone"))->empty());

    MemKvStore older;
    older.set(sb("gone"), sb("old"));
    const SharedBytes old_file = older.export_all();
    MemKvStore r;
    ASSERT_TRUE(r.import_all(old_file).ok());
    ASSERT_TRUE(r.import_all(with_markers).ok());
    EXPECT_FALSE(r.get(bv("gone")).has_value());
    EXPECT_EQ(str(*r.get(bv("kept"))), "1");
  }
  {
    SCOPED_TRACE("an imported block with markers is re-added without them");
    MemKvStore writer(MemKvStoreOptions{4096, CompressionType::LZ4, true});
    for (const auto& [k, v] : numbered(300)) writer.set(sb(k), sb(v));
    writer.set(sb("k10005"), SharedBytes());
    const SharedBytes file = writer.export_all();
    MemKvStore s;  // markers not written
    ASSERT_TRUE(s.import_all(file).ok());
    s.set(sb("zzz"), sb("x"));
    auto out = SsTable::parse(s.export_all(), true).value();
    EXPECT_FALSE(out->contains_key(bv("k10005")));
    EXPECT_TRUE(out->contains_key(bv("k10006")));
  }
}

TEST(KvExport, TwoTablesCompactIntoOne) {
  MemKvStore s;
  MemKvStore a, b;
  a.set(sb("k"), sb("older"));
  a.set(sb("x"), sb("1"));
  b.set(sb("k"), sb("newer"));
  ASSERT_TRUE(s.import_all(a.export_all()).ok());
  ASSERT_TRUE(s.import_all(b.export_all()).ok());
  const SharedBytes out = s.export_all();
  EXPECT_EQ(s.tables().size(), 1u);
  auto t = SsTable::parse(out, true).value();
  std::vector<std::pair<std::string, std::string>> got;
  SsTableIter it(t, KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it.next()) got.emplace_back(str(kv->key), str(kv->value));
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::string>>{{"k", "newer"}, {"x", "1"}}));
}

TEST(KvExport, EmptyStoreExportsNothing) {
  MemKvStore s;
  EXPECT_TRUE(s.export_all().empty());
  EXPECT_TRUE(s.tables().empty());
}

}  // namespace
}  // namespace kesu
