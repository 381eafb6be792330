// Thousands of random inserts, removals and style marks, checked after every
// step against a flat model: one entry per entity, each with the set of style
// operations (by Lamport and peer) that covers it.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "richtext_test_util.h"

namespace kesu {
namespace {

struct ModelEntity {
  std::string ch;        // empty for an anchor
  StyleOpHandle anchor;  // set for an anchor
  bool end = false;
  std::set<std::pair<Lamport, PeerID>> styles;
};

using Set = std::set<std::pair<Lamport, PeerID>>;

Set intersect(const Set& a, const Set& b) {
  Set out;
  for (const auto& x : a)
    if (b.count(x)) out.insert(x);
  return out;
}

class Model {
 public:
  std::vector<ModelEntity> e;
  bool has_style = false;

  Set styles_for_insert(size_t at) const {
    if (!has_style || at == 0) return {};
    Set right = at < e.size() ? e[at].styles : Set{};
    return intersect(e[at - 1].styles, right);
  }
  void insert(size_t at, std::vector<ModelEntity> items) {
    Set st = styles_for_insert(at);
    for (auto& i : items) i.styles = st;
    e.insert(e.begin() + long(at), items.begin(), items.end());
  }
  void remove(size_t pos, size_t len) {
    for (size_t q = pos; q < pos + len; ++q) {
      if (e[q].ch.empty() && e[q].end) {
        auto key = std::make_pair(e[q].anchor->lamport, e[q].anchor->peer);
        for (size_t j = q + 1; j-- > 0;) {
          if (!e[j].styles.erase(key)) break;
        }
      }
    }
    e.erase(e.begin() + long(pos), e.begin() + long(pos + len));
  }
  std::string text() const {
    std::string s;
    for (const auto& x : e) s += x.ch;
    return s;
  }
  size_t unicode_before(size_t entity) const {
    size_t n = 0;
    for (size_t i = 0; i < entity; ++i) n += e[i].ch.empty() ? 0 : 1;
    return n;
  }
};

TEST(RichtextModel, RandomEditsMatchTheFlatModel) {
  const char* alphabet[] = {"a", "b", "\xC3\xA9", "\xF0\x9F\x98\x80"};
  std::mt19937_64 rng(12345);
  // One long buffer for peer 1 so that consecutive typing can join runs.
  std::string pool;
  std::vector<size_t> pool_chars;  // byte offset of each character
  for (int i = 0; i < 20000; ++i) {
    pool_chars.push_back(pool.size());
    pool += alphabet[rng() % 4];
  }
  pool_chars.push_back(pool.size());
  BytesSlice buf = testing::slice_of(pool);
  size_t next_char = 0;
  Counter counter = 0;
  Lamport style_lamport = 1000000;
  PeerID other_peer = 2;

  RichtextState s;
  Model m;
  const int kSteps = 2000;
  for (int step = 0; step < kSteps; ++step) {
    size_t n = m.e.size();
    int kind = int(rng() % 10);
    std::string what;
    if (kind < 5 || n == 0) {
      size_t ulen = m.unicode_before(n);
      size_t p = rng() % (ulen + 1);
      PosType unit = (rng() % 2) ? PosType::Unicode : PosType::Utf16;
      size_t pos = unit == PosType::Unicode ? p : *s.convert_pos(p, PosType::Unicode, unit);
      auto [entity, cur] = s.entity_index_for_text_insert(pos, unit);
      ASSERT_LE(entity, n);
      ASSERT_EQ(m.unicode_before(entity), p) << "step " << step;
      size_t k = 1 + rng() % 3;
      if (next_char + k > pool_chars.size() - 1) next_char = 0;
      BytesSlice bytes = buf.slice(pool_chars[next_char], pool_chars[next_char + k]);
      IdFull id = (rng() % 4) ? IdFull{1, Lamport(counter), counter} : IdFull{other_peer++, 0, 0};
      if (id.peer == 1) counter += Counter(k);
      std::vector<ModelEntity> items;
      for (size_t i = 0; i < k; ++i)
        items.push_back({pool.substr(pool_chars[next_char + i],
                                     pool_chars[next_char + i + 1] - pool_chars[next_char + i]),
                         nullptr,
                         false,
                         {}});
      next_char += k;
      ASSERT_TRUE(s.insert_text_at_entity(entity, bytes, id).ok());
      m.insert(entity, std::move(items));
      what = "insert";
    } else if (kind < 8) {
      size_t pos = rng() % n;
      size_t len = 1 + rng() % std::min<size_t>(n - pos, 6);
      s.drain_by_entity_index(pos, len);
      m.remove(pos, len);
      what = "remove";
    } else {
      size_t a = rng() % (n + 1), b = rng() % (n + 1);
      if (a > b) std::swap(a, b);
      auto op = testing::style((rng() % 2) ? "bold" : "link", uint8_t((rng() % 4) * 2),
                               style_lamport++, 1 + rng() % 3, Counter(step));
      s.mark_with_entity_index(a, b, op);
      m.insert(b, {{"", op, true, {}}});
      m.insert(a, {{"", op, false, {}}});
      m.has_style = true;
      auto key = std::make_pair(op->lamport, op->peer);
      for (size_t i = a; i < b + 2; ++i) m.e[i].styles.insert(key);
      what = "mark";
    }
    ASSERT_EQ(s.to_string(), m.text()) << what << " step " << step;
    ASSERT_EQ(s.len(PosType::Entity), m.e.size()) << what << " step " << step;
    ASSERT_EQ(s.len(PosType::Bytes), m.text().size());
    size_t checked = 0, bad = SIZE_MAX;
    if (const StyleRangeMap* map = s.style_ranges(); map && map->has_style()) {
      map->for_each_in_range(0, m.e.size(), [&](const Styles& st, uint64_t len) {
        Set set;
        for (const auto& [k, ops] : st.entries())
          for (const auto& op : ops) set.insert({op->lamport, op->peer});
        for (uint64_t i = 0; i < len; ++i, ++checked)
          if (bad == SIZE_MAX && m.e[checked].styles != set) bad = checked;
      });
    } else {
      for (; checked < m.e.size(); ++checked)
        if (bad == SIZE_MAX && !m.e[checked].styles.empty()) bad = checked;
    }
    ASSERT_EQ(checked, m.e.size()) << what << " step " << step;
    ASSERT_EQ(bad, SIZE_MAX) << what << " step " << step << " entity " << bad;
    if (step % 100 == 0) {
      ASSERT_EQ(s.tree().check_invariants(), "") << step;
    }
    if (!m.e.empty()) {
      size_t p = rng() % (m.unicode_before(m.e.size()) + 1);
      std::string prefix;
      size_t seen = 0;
      for (const auto& x : m.e) {
        if (seen == p) break;
        if (!x.ch.empty()) {
          prefix += x.ch;
          ++seen;
        }
      }
      ASSERT_EQ(s.convert_pos(p, PosType::Unicode, PosType::Bytes), prefix.size());
    }
  }
  EXPECT_GT(s.tree().size(), 1u);
}

}  // namespace
}  // namespace kesu
