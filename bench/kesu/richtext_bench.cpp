// Rich-text state: one-character inserts at random places in a 100,000
// character text, and position conversions between units.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>

#include "kesu/richtext/richtext_state.h"
#include "util/bytes.h"

namespace {

using namespace kesu;

// A 100,000-character text in runs of 50 characters from several peers, with
// a few hundred styles, as a document after some editing.
RichtextState make_doc(std::mt19937_64& rng) {
  RichtextState s;
  std::string run;
  for (int i = 0; i < 50; ++i) run += (i % 7 == 0) ? "\xC3\xA9" : "x";
  BytesSlice buf = BytesSlice::from_bytes(brenvik::as_bytes(run));
  for (int i = 0; i < 2000; ++i) {
    size_t e = rng() % (s.len(PosType::Entity) + 1);
    (void)s.insert_text_at_entity(e, buf, IdFull{PeerID(i + 1), 0, 0});
  }
  for (int i = 0; i < 300; ++i) {
    auto op = std::make_shared<StyleOp>();
    op->lamport = Lamport(i + 1);
    op->peer = 1;
    op->cnt = i;
    op->key = InternalString("bold");
    op->value = KesuValue(true);
    size_t n = s.len(PosType::Entity);
    size_t a = rng() % n;
    s.mark_with_entity_index(a, std::min(n, a + 20), op);
  }
  return s;
}

// Every insert by a new peer adds a leaf, so the document is rebuilt (timing
// paused) every 1,000 inserts: the figure stays that of a 100,000-character
// text instead of drifting with a document that grows through the run.
void BM_InsertCharAtRandomPosition(benchmark::State& st) {
  std::mt19937_64 rng(7);
  auto fresh = [] {
    std::mt19937_64 doc_rng(7);
    return make_doc(doc_rng);
  };
  RichtextState s = fresh();
  BytesSlice ch = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("y")));
  PeerID peer = 1u << 20;
  size_t since_fresh = 0;
  size_t max_chars = 0;
  for (auto _ : st) {
    if (since_fresh == 1000) {
      st.PauseTiming();
      s = fresh();
      since_fresh = 0;
      st.ResumeTiming();
    }
    size_t p = rng() % (s.len(PosType::Unicode) + 1);
    auto [e, c] = s.entity_index_for_text_insert(p, PosType::Unicode);
    auto r = s.insert_text_at_entity(e, ch, IdFull{peer++, 0, 0});
    benchmark::DoNotOptimize(r);
    ++since_fresh;
    max_chars = std::max(max_chars, s.len(PosType::Unicode));
  }
  st.counters["max_chars"] = double(max_chars);
}
BENCHMARK(BM_InsertCharAtRandomPosition);

// The same inserts into a document that keeps growing through the run (to
// several times its starting size): the form this figure had at first.
void BM_InsertCharAtRandomPositionGrowing(benchmark::State& st) {
  std::mt19937_64 rng(7);
  RichtextState s = make_doc(rng);
  BytesSlice ch = BytesSlice::from_bytes(brenvik::as_bytes(std::string_view("y")));
  PeerID peer = 1u << 20;
  for (auto _ : st) {
    size_t p = rng() % (s.len(PosType::Unicode) + 1);
    auto [e, c] = s.entity_index_for_text_insert(p, PosType::Unicode);
    auto r = s.insert_text_at_entity(e, ch, IdFull{peer++, 0, 0});
    benchmark::DoNotOptimize(r);
  }
  st.counters["chars"] = double(s.len(PosType::Unicode));
}
BENCHMARK(BM_InsertCharAtRandomPositionGrowing);

void BM_TypingAtOnePlace(benchmark::State& st) {
  std::mt19937_64 rng(9);
  RichtextState s = make_doc(rng);
  std::string text(size_t(1) << 22, 'z');
  BytesSlice buf = BytesSlice::from_bytes(brenvik::as_bytes(text));
  size_t p = s.len(PosType::Unicode) / 2;
  Counter c = 0;
  for (auto _ : st) {
    auto [e, cur] = s.entity_index_for_text_insert(p, PosType::Unicode);
    auto r = s.insert_text_at_entity(e, buf.slice(size_t(c), size_t(c) + 1),
                                     IdFull{99999, Lamport(c), c});
    benchmark::DoNotOptimize(r);
    ++c;
    ++p;
    if (size_t(c) + 1 >= text.size()) st.SkipWithError("buffer exhausted");
  }
}
BENCHMARK(BM_TypingAtOnePlace);

void BM_ConvertPos(benchmark::State& st) {
  std::mt19937_64 rng(11);
  RichtextState s = make_doc(rng);
  auto from = PosType(st.range(0)), to = PosType(st.range(1));
  size_t n = s.len(from);
  for (auto _ : st) {
    auto r = s.convert_pos(rng() % (n + 1), from, to);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_ConvertPos)->Args({1, 0})->Args({1, 2})->Args({2, 1})->Args({0, 4})->Args({1, 4});

}  // namespace
