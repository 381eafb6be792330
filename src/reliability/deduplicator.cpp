#include "reliability/deduplicator.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "util/hash.h"
#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kLogTarget = "brenvik_protocol::reliability::dedup";
constexpr int64_t kNsPerSec = 1'000'000'000;
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

// now - secs, saturating at the earliest representable time.
int64_t minus_seconds(int64_t now, uint64_t secs) {
  if (secs > uint64_t(kI64Max / kNsPerSec)) return kI64Min;
  const int64_t d = int64_t(secs) * kNsPerSec;
  return now < kI64Min + d ? kI64Min : now - d;
}

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}

bool is_bloom_config(const DedupConfig& c) {
  return c.use_bloom_filter && c.bloom_filter_count > 0 && c.bloom_hash_count > 0 &&
         c.bloom_filter_bits > 0 && c.bloom_rotation_secs > 0;
}

}  // namespace

BloomHashes bloom_hashes(std::string_view key) {
  return BloomHashes{fnv1a64(key), fnv1a64(key, 0x5f356495ull) | 1};
}

bool Deduplicator::BloomSlot::contains(const BloomHashes& h) const {
  uint64_t x = h.h1;
  for (uint64_t i = 0; i < hash_count; ++i) {
    const uint64_t p = x % bits;
    if (!(words[p / 64] >> (p % 64) & 1)) return false;
    x += h.h2;
  }
  return true;
}

void Deduplicator::BloomSlot::insert(const BloomHashes& h) {
  uint64_t x = h.h1;
  for (uint64_t i = 0; i < hash_count; ++i) {
    const uint64_t p = x % bits;
    words[p / 64] |= uint64_t(1) << (p % 64);
    x += h.h2;
  }
}

Deduplicator::Deduplicator(DedupConfig config, const Clock& clock)
    : config_(config), clock_(clock) {
  if (is_bloom_config(config_)) {
    build_bank(clock_.wall_unix_ns());
  } else {
    seen_.reserve(size_t(std::min<uint64_t>(config_.max_tracked_messages, 1u << 16)));
  }
}

Deduplicator::~Deduplicator() = default;

void Deduplicator::build_bank(int64_t now) {
  uint64_t bits = config_.bloom_filter_bits;
  uint64_t hashes = config_.bloom_hash_count;
  uint64_t count = config_.bloom_filter_count;
  if (bits > kMaxBloomBits || hashes > kMaxBloomHashCount || count > kMaxBloomFilterCount) {
    BRENVIK_LOG(LogLevel::Warn, kLogTarget,
                {"message", "Bloom filter configuration capped to supported sizes"}, {"bits", bits},
                {"hash_count", hashes}, {"filter_count", count});
    bits = std::min(bits, kMaxBloomBits);
    hashes = std::min(hashes, kMaxBloomHashCount);
    count = std::min(count, kMaxBloomFilterCount);
  }
  Bank bank;
  bank.slots.resize(size_t(count));
  for (BloomSlot& s : bank.slots) {
    s.words.assign(size_t((bits + 63) / 64), 0);
    s.bits = bits;
    s.hash_count = hashes;
  }
  bank.last_rotation = now;
  bloom_ = std::move(bank);
}

void Deduplicator::rotate_if_due(int64_t now) {
  Bank& b = *bloom_;
  const __int128 elapsed = (__int128(now) - b.last_rotation) / kNsPerSec;
  if (elapsed < __int128(config_.bloom_rotation_secs)) return;
  b.current = (b.current + 1) % b.slots.size();
  BloomSlot& s = b.slots[b.current];
  std::fill(s.words.begin(), s.words.end(), 0);
  s.inserted = 0;
  b.last_rotation = now;
}

int64_t Deduplicator::retention_cutoff(int64_t now) const {
  return minus_seconds(now, config_.retention_time_secs);
}

void Deduplicator::insert_sorted(List& l, Node* n, bool age) {
  auto key = [age](Node* x) { return age ? x->second.first_seen : x->second.last_seen; };
  Link& ln = link(n, age);
  const int64_t k = key(n);
  if (!l.tail || key(l.tail) <= k) {
    ln.prev = l.tail;
    ln.next = nullptr;
    if (l.tail)
      link(l.tail, age).next = n;
    else
      l.head = n;
    l.tail = n;
    return;
  }
  if (k < key(l.head)) {
    ln.prev = nullptr;
    ln.next = l.head;
    link(l.head, age).prev = n;
    l.head = n;
    return;
  }
  Node* p = l.tail;
  while (key(p) > k) p = link(p, age).prev;  // stops: key(head) <= k
  ln.prev = p;
  ln.next = link(p, age).next;
  link(ln.next, age).prev = n;  // p is not the tail here
  link(p, age).next = n;
}

void Deduplicator::unlink(List& l, Node* n, bool age) {
  Link& ln = link(n, age);
  if (ln.prev)
    link(ln.prev, age).next = ln.next;
  else
    l.head = ln.next;
  if (ln.next)
    link(ln.next, age).prev = ln.prev;
  else
    l.tail = ln.prev;
  ln.prev = ln.next = nullptr;
}

void Deduplicator::erase(Node* n) {
  unlink(age_, n, true);
  unlink(evict_list(n->second.persist), n, false);
  filter_.remove(n->first.hash);
  seen_.erase(seen_.find(KeyView{n->first.text, n->first.hash}));
}

Deduplicator::Node* Deduplicator::insert_entry(std::string key, int64_t first_seen,
                                               int64_t last_seen, bool persist) {
  const size_t h = std::hash<std::string_view>{}(key);
  auto [it, inserted] =
      seen_.emplace(Key{std::move(key), h}, Entry{first_seen, last_seen, persist, {}, {}});
  Node* n = &*it;
  if (inserted) {
    filter_.add(h);
    link_new(n);
  }
  return n;
}

void Deduplicator::link_new(Node* n) {
  insert_sorted(age_, n, true);
  insert_sorted(evict_list(n->second.persist), n, false);
}

void Deduplicator::clear_exact() {
  seen_.clear();
  filter_.clear();
  age_ = {};
  evict_plain_ = {};
  evict_persist_ = {};
}

bool Deduplicator::is_duplicate(std::string_view id) const {
  if (!bloom_) return find(view_of(id)) != seen_.end();
  const BloomHashes h = bloom_hashes(id);
  for (const BloomSlot& s : bloom_->slots) {
    if (s.contains(h)) return true;
  }
  return false;
}

bool Deduplicator::check_and_record(std::string_view id, bool persist) {
  const int64_t now = clock_.wall_unix_ns();
  if (bloom_) {
    rotate_if_due(now);
    const BloomHashes h = bloom_hashes(id);
    for (const BloomSlot& s : bloom_->slots) {
      if (s.contains(h)) return false;
    }
    rotate_if_due(clock_.wall_unix_ns());
    BloomSlot& cur = bloom_->slots[bloom_->current];
    cur.insert(h);
    ++cur.inserted;
    return true;
  }
  const KeyView key = view_of(id);
  if (find(key) != seen_.end()) return false;
  if (seen_.size() >= config_.max_tracked_messages) {
    expire();
    if (seen_.size() >= config_.max_tracked_messages && !seen_.empty()) {
      // The evicted entry's node (and its key's buffer) takes the new id, so
      // a full map inserts without allocating.
      Node* victim = evict_plain_.head ? evict_plain_.head : evict_persist_.head;
      unlink(age_, victim, true);
      unlink(evict_list(victim->second.persist), victim, false);
      auto node = seen_.extract(seen_.find(KeyView{victim->first.text, victim->first.hash}));
      filter_.remove(node.key().hash);
      node.key().text.assign(id);
      node.key().hash = key.hash;
      filter_.add(key.hash);
      node.mapped() = Entry{now, now, persist, {}, {}};
      link_new(&*seen_.insert(std::move(node)).position);
      return true;
    }
  }
  insert_entry(std::string(id), now, now, persist);
  return true;
}

bool Deduplicator::touch(std::string_view id) {
  const int64_t now = clock_.wall_unix_ns();
  if (bloom_) {
    rotate_if_due(now);
    return is_duplicate(id);
  }
  auto it = find(view_of(id));
  if (it == seen_.end()) return false;
  Node* n = &*it;
  List& l = evict_list(n->second.persist);
  unlink(l, n, false);
  n->second.last_seen = now;
  insert_sorted(l, n, false);
  return true;
}

bool Deduplicator::forget(std::string_view id) {
  if (bloom_) return false;
  auto it = find(view_of(id));
  if (it == seen_.end()) return false;
  erase(&*it);
  return true;
}

size_t Deduplicator::expire() {
  if (bloom_) return 0;
  const int64_t cutoff = retention_cutoff(clock_.wall_unix_ns());
  size_t removed = 0;
  while (age_.head && age_.head->second.first_seen <= cutoff) {
    erase(age_.head);
    ++removed;
  }
  return removed;
}

std::vector<SeenId> Deduplicator::export_seen(size_t limit) const {
  std::vector<SeenId> out;
  if (bloom_) return out;
  for (Node* n = evict_persist_.head; n; n = n->second.evict.next) {
    out.push_back(SeenId{n->first.text, floor_div(n->second.first_seen, kNsPerMs)});
  }
  std::sort(out.begin(), out.end(), [](const SeenId& a, const SeenId& b) {
    if (a.seen_at_ms != b.seen_at_ms) return a.seen_at_ms > b.seen_at_ms;
    return a.id < b.id;
  });
  if (out.size() > limit) out.resize(limit);
  return out;
}

size_t Deduplicator::restore_seen(const std::vector<SeenId>& list, int64_t now) {
  if (bloom_) return 0;
  const int64_t cutoff = retention_cutoff(now);
  size_t restored = 0;
  for (const SeenId& s : list) {
    if (seen_.size() >= config_.max_tracked_messages) break;
    if (s.seen_at_ms > kI64Max / kNsPerMs || s.seen_at_ms < kI64Min / kNsPerMs) continue;
    const int64_t t = s.seen_at_ms * kNsPerMs;
    if (t <= cutoff || find(view_of(s.id)) != seen_.end()) continue;
    insert_entry(s.id, t, t, true);
    ++restored;
  }
  return restored;
}

void Deduplicator::update_config(const DedupConfig& next) {
  const int64_t now = clock_.wall_unix_ns();
  const bool was_exact = !bloom_;
  struct Kept {
    std::string key;
    int64_t first_seen, last_seen;
    bool persist;
  };
  std::vector<Kept> kept;
  config_ = next;
  bloom_.reset();
  if (is_bloom_config(config_)) {
    clear_exact();
    build_bank(now);
    return;
  }
  if (was_exact) {
    const int64_t cutoff = retention_cutoff(now);
    for (auto& [k, e] : seen_) {
      if (e.first_seen > cutoff) kept.push_back(Kept{k.text, e.first_seen, e.last_seen, e.persist});
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
      if (a.first_seen != b.first_seen) return a.first_seen > b.first_seen;
      return a.key < b.key;
    });
    if (kept.size() > config_.max_tracked_messages) kept.resize(config_.max_tracked_messages);
  }
  clear_exact();
  for (Kept& k : kept) insert_entry(std::move(k.key), k.first_seen, k.last_seen, k.persist);
}

DedupStats Deduplicator::stats() const {
  DedupStats st;
  if (!bloom_) {
    st.strategy = "HashMap";
    st.tracked = seen_.size();
    const int64_t cutoff = minus_seconds(clock_.wall_unix_ns(), 60);
    for (Node* n = age_.tail; n && n->second.first_seen > cutoff; n = n->second.age.prev) {
      ++st.recent;
    }
    const double pct = config_.max_tracked_messages == 0
                           ? 0.0
                           : double(st.tracked) / double(config_.max_tracked_messages) * 100.0;
    st.usage_percent = uint8_t(std::min(pct, 255.0));
    return st;
  }
  st.strategy = "BloomFilter";
  st.bloom = true;
  double fp = 0;
  for (const BloomSlot& s : bloom_->slots) {
    st.tracked += s.inserted;
    if (s.inserted > 0) {
      const double k = double(s.hash_count);
      fp += std::pow(1.0 - std::exp(-k * double(s.inserted) / double(s.bits)), k);
    }
  }
  st.recent = st.tracked;
  st.false_positive_rate = bloom_->slots.empty() ? 0.0 : fp / double(bloom_->slots.size());
  const uint64_t capacity =
      bloom_->slots.empty() ? 0 : bloom_->slots[0].bits / bloom_->slots[0].hash_count;
  const double pct =
      capacity == 0 ? 100.0 : std::min(100.0, double(st.tracked) / double(capacity) * 100.0);
  st.usage_percent = uint8_t(std::min(pct, 255.0));
  return st;
}

SeenWindow::SeenWindow(size_t max_entries, Nanos window, const Clock& clock)
    : max_entries_(std::max<size_t>(max_entries, 1)), window_(window), clock_(clock) {
  entries_.reserve(std::min<size_t>(max_entries_, 1024));
}

void SeenWindow::prune_expired(MonoTime now) {
  while (!order_.empty()) {
    auto it = entries_.find(order_.front());
    if (it != entries_.end() && now - it->second.inserted_at < window_) return;
    pop_oldest();
  }
}

std::optional<std::string> SeenWindow::pop_oldest() {
  if (order_.empty()) return std::nullopt;
  std::string key = std::move(order_.front());
  order_.pop_front();
  if (auto it = entries_.find(key); it != entries_.end()) entries_.erase(it);
  return key;
}

bool SeenWindow::check_and_insert(std::string_view key) {
  const MonoTime now = clock_.monotonic();
  prune_expired(now);
  if (entries_.find(key) != entries_.end()) return true;
  while (entries_.size() >= max_entries_) pop_oldest();
  order_.emplace_back(key);
  entries_.emplace(std::string(key), Slot{now, std::prev(order_.end())});
  return false;
}

bool SeenWindow::contains(std::string_view key) const {
  auto it = entries_.find(key);
  return it != entries_.end() && clock_.monotonic() - it->second.inserted_at < window_;
}

void SeenWindow::remove(std::string_view key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  order_.erase(it->second.pos);
  entries_.erase(it);
}

}  // namespace brenvik
