// Mutated tables: parsing refuses them with an error or yields a table that
// every reading operation handles, never a crash, an overread (the test suite
// runs under AddressSanitizer) or an unbounded allocation.
#include <gtest/gtest.h>

#include "kesu/kv_store/mem_store.h"
#include "kesu/kv_store/sstable.h"
#include "kv_test_util.h"

namespace kesu {
namespace {

using namespace kvtest;

std::vector<Bytes> seed_tables() {
  std::mt19937_64 rng(77);
  std::vector<Bytes> out;
  struct Cfg {
    size_t block_size;
    CompressionType c;
    bool markers;
    bool large;
  };
  for (Cfg cfg :
       {Cfg{64, CompressionType::None, true, false}, Cfg{256, CompressionType::LZ4, false, true},
        Cfg{512, CompressionType::LZ4, true, false},
        Cfg{128, CompressionType::None, false, true}}) {
    MemKvStore s(MemKvStoreOptions{cfg.block_size, cfg.c, cfg.markers});
    for (int i = 0; i < 60; ++i) {
      std::string v = rng() % 2 ? random_value(rng, 20) : std::string(rng() % 30 + 1, 'c');
      if (cfg.markers && rng() % 6 == 0) v.clear();
      if (cfg.large && rng() % 15 == 0) v = std::string(cfg.block_size + 50, 'L');
      s.set(sb(random_key(rng, 8)), sb(v));
    }
    out.push_back(s.export_all().to_vector());
  }
  return out;
}

// Recomputes the meta checksum (when the trailer still locates the metas),
// so that mutations inside the metas reach the meta reader.
void fix_meta_checksum(Bytes& b) {
  if (b.size() < 17) return;
  const size_t m = brenvik::load_u32_le(b.data() + b.size() - 4);
  if (m + 4 > b.size() - 8) return;
  const uint32_t sum = xxh32_kesu(ByteView(b).subspan(m + 4, b.size() - 8 - (m + 4)));
  uint8_t* p = b.data() + b.size() - 8;
  p[0] = uint8_t(sum);
  p[1] = uint8_t(sum >> 8);
  p[2] = uint8_t(sum >> 16);
  p[3] = uint8_t(sum >> 24);
}

void exercise(const SsTablePtr& t, std::mt19937_64& rng) {
  std::vector<std::string> keys;
  SsTableIter it(t, KeyBound::unbounded(), KeyBound::unbounded());
  while (auto kv = it.next()) keys.push_back(str(kv->key));
  SsTableIter back(t, KeyBound::unbounded(), KeyBound::unbounded());
  size_t n = 0;
  while (back.next_back()) ++n;
  ASSERT_EQ(n, keys.size());
  for (const std::string& k : keys) ASSERT_TRUE(t->contains_key(bv(k)));
  for (int i = 0; i < 5; ++i) {
    const std::string k = random_key(rng, 8);
    (void)t->get(bv(k));
    SsTableIter r(t, KeyBound::included(bv(k)), KeyBound::excluded(bv(random_key(rng, 8))));
    while (r.next()) {
    }
  }
  // The table also survives a round through a store and its export.
  MemKvStore s;
  if (s.import_all_unverified(t->data()).ok()) {
    s.set(sb(random_key(rng, 8)), sb("x"));
    MemKvStore again;
    // What the store exports passes its own verified import, whatever it
    // imported unverified.
    ASSERT_TRUE(again.import_all(s.export_all()).ok());
  }
}

TEST(SsTableFuzz, MutatedTablesGiveErrorsOrReadableTables) {
  std::mt19937_64 rng(4242);
  const std::vector<Bytes> seeds = seed_tables();
  size_t parsed_ok = 0, refused = 0;
  for (int iter = 0; iter < 4000; ++iter) {
    Bytes b = seeds[rng() % seeds.size()];
    const int mutations = 1 + int(rng() % 4);
    for (int k = 0; k < mutations && !b.empty(); ++k) {
      const size_t pos = rng() % b.size();
      switch (rng() % 6) {
        case 0:
          b[pos] ^= uint8_t(1u << (rng() % 8));
          break;
        case 1:
          b[pos] = uint8_t(rng());
          break;
        case 2:
          b.resize(pos);
          break;
        case 3:
          b.insert(b.begin() + long(pos), uint8_t(rng()));
          break;
        case 4:
          b.erase(b.begin() + long(pos));
          break;
        case 5: {  // a u32 field set to an extreme
          const uint32_t v = rng() % 2 ? 0xffffffffu : uint32_t(rng() % 64);
          for (int j = 0; j < 4 && pos + j < b.size(); ++j) b[pos + j] = uint8_t(v >> (8 * j));
          break;
        }
      }
    }
    if (rng() % 2) fix_meta_checksum(b);
    const SharedBytes bytes = SharedBytes::copy_of(ByteView(b));
    for (bool verify : {true, false}) {
      auto r = SsTable::parse(bytes, verify, /*max_lz4_large=*/1 << 20);
      if (!r.ok()) {
        ++refused;
        EXPECT_EQ(r.error().to_string().rfind("Decode error: ", 0), 0u);
        continue;
      }
      ++parsed_ok;
      exercise(r.value(), rng);
    }
  }
  // Both outcomes are reached, so the mutations exercise the readers.
  EXPECT_GT(parsed_ok, 50u);
  EXPECT_GT(refused, 1000u);
}

}  // namespace
}  // namespace kesu
