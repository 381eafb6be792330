#include "kesu/kv_store/mem_store.h"

#include "kesu/kv_store/kv_wrapper.h"
#include "util/hex.h"

namespace kesu {

using brenvik::Err;
using brenvik::Result;

namespace {

// The mem_table entries within the bounds, from both ends.
class MemRange {
 public:
  MemRange(MemKvStore::MemTable::const_iterator lo, MemKvStore::MemTable::const_iterator hi)
      : lo_(lo), hi_(hi) {}
  std::optional<KvPair> next() {
    if (lo_ == hi_) return std::nullopt;
    KvPair out{lo_->first, lo_->second};
    ++lo_;
    return out;
  }
  std::optional<KvPair> next_back() {
    if (lo_ == hi_) return std::nullopt;
    --hi_;
    return KvPair{hi_->first, hi_->second};
  }

 private:
  MemKvStore::MemTable::const_iterator lo_, hi_;
};

// Keeps one peeked entry per end. When one end runs dry it takes the entry
// the other end peeked, so nothing is lost where the ends meet.
template <typename Source>
class Peekable {
 public:
  explicit Peekable(Source src) : src_(std::move(src)) {}
  const KvPair* peek_front() {
    if (!front_) {
      front_ = src_.next();
      if (!front_ && back_) front_.swap(back_);
    }
    return front_ ? &*front_ : nullptr;
  }
  const KvPair* peek_back() {
    if (!back_) {
      back_ = src_.next_back();
      if (!back_ && front_) back_.swap(front_);
    }
    return back_ ? &*back_ : nullptr;
  }
  KvPair take_front() {
    KvPair out = std::move(*front_);
    front_.reset();
    return out;
  }
  KvPair take_back() {
    KvPair out = std::move(*back_);
    back_.reset();
    return out;
  }

 private:
  Source src_;
  std::optional<KvPair> front_;
  std::optional<KvPair> back_;
};

// The memory layer over the merged tables: on equal keys the memory entry
// wins. Deletion markers are skipped after precedence is settled, unless the
// caller (export) wants them.
class MergedScan final : public KvIterator {
 public:
  MergedScan(MemRange mem, std::optional<MergeIterator> tables, bool skip_deleted)
      : mem_(std::move(mem)), skip_deleted_(skip_deleted) {
    if (tables) tables_.emplace(std::move(*tables));
  }

  std::optional<KvPair> next() override {
    while (true) {
      std::optional<KvPair> r = step_front();
      if (!r || !skip_deleted_ || !r->value.empty()) return r;
    }
  }
  std::optional<KvPair> next_back() override {
    while (true) {
      std::optional<KvPair> r = step_back();
      if (!r || !skip_deleted_ || !r->value.empty()) return r;
    }
  }

 private:
  std::optional<KvPair> step_front() {
    const KvPair* m = mem_.peek_front();
    const KvPair* t = tables_ ? tables_->peek_front() : nullptr;
    if (m == nullptr && t == nullptr) return std::nullopt;
    if (m == nullptr) return tables_->take_front();
    if (t != nullptr) {
      const int c = compare_bytes(m->key, t->key);
      if (c > 0) return tables_->take_front();
      if (c == 0) tables_->take_front();  // shadowed by the memory entry
    }
    return mem_.take_front();
  }
  std::optional<KvPair> step_back() {
    const KvPair* m = mem_.peek_back();
    const KvPair* t = tables_ ? tables_->peek_back() : nullptr;
    if (m == nullptr && t == nullptr) return std::nullopt;
    if (m == nullptr) return tables_->take_back();
    if (t != nullptr) {
      const int c = compare_bytes(m->key, t->key);
      if (c < 0) return tables_->take_back();
      if (c == 0) tables_->take_back();
    }
    return mem_.take_back();
  }

  Peekable<MemRange> mem_;
  std::optional<Peekable<MergeIterator>> tables_;
  bool skip_deleted_;
};

// A start after the end, or one key excluded at both ends, is an empty range.
bool empty_range(const KeyBound& start, const KeyBound& end) {
  if (!start.bounded() || !end.bounded()) return false;
  const int c = compare_bytes(start.key, end.key);
  if (c > 0) return true;
  return c == 0 && (start.kind == KeyBound::Kind::Excluded || end.kind == KeyBound::Kind::Excluded);
}

std::unique_ptr<KvIterator> make_scan(const MemKvStore::MemTable& mem,
                                      const std::vector<SsTablePtr>& tables, const KeyBound& start,
                                      const KeyBound& end, bool skip_deleted) {
  if (empty_range(start, end)) {
    return std::make_unique<MergedScan>(MemRange(mem.end(), mem.end()), std::nullopt, true);
  }
  auto lo = mem.begin();
  auto hi = mem.end();
  switch (start.kind) {
    case KeyBound::Kind::Included:
      lo = mem.lower_bound(ByteView(start.key));
      break;
    case KeyBound::Kind::Excluded:
      lo = mem.upper_bound(ByteView(start.key));
      break;
    case KeyBound::Kind::Unbounded:
      break;
  }
  switch (end.kind) {
    case KeyBound::Kind::Included:
      hi = mem.upper_bound(ByteView(end.key));
      break;
    case KeyBound::Kind::Excluded:
      hi = mem.lower_bound(ByteView(end.key));
      break;
    case KeyBound::Kind::Unbounded:
      break;
  }
  std::optional<MergeIterator> merged;
  if (!tables.empty()) {
    std::vector<SsTableIter> iters;
    iters.reserve(tables.size());
    for (auto it = tables.rbegin(); it != tables.rend(); ++it) iters.emplace_back(*it, start, end);
    merged.emplace(std::move(iters));
  }
  return std::make_unique<MergedScan>(MemRange(lo, hi), std::move(merged), skip_deleted);
}

const char* compression_name(CompressionType c) {
  switch (c) {
    case CompressionType::None:
      return "None";
    case CompressionType::LZ4:
      return "LZ4";
  }
  return "?";
}

}  // namespace

std::string MemKvStore::fmt() const {
  std::string s = "MemKvStore { mem_table: {";
  bool first = true;
  for (const auto& [k, v] : mem_table_) {
    if (!first) s += ", ";
    first = false;
    s += brenvik::hex_encode(k) + ": " + brenvik::hex_encode(v);
  }
  s += "}, ss_table: [";
  for (size_t i = 0; i < tables_.size(); ++i) {
    if (i) s += ", ";
    s += tables_[i]->fmt();
  }
  s += "], block_size: " + std::to_string(options_.block_size) +
       ", compression_type: " + compression_name(options_.compression_type) +
       ", should_encode_none: " + (options_.should_encode_none ? "true" : "false") + " }";
  return s;
}

std::optional<SharedBytes> MemKvStore::get(ByteView key) const {
  if (key.empty()) return std::nullopt;
  if (auto it = mem_table_.find(key); it != mem_table_.end()) {
    if (it->second.empty()) return std::nullopt;
    return it->second;
  }
  for (auto t = tables_.rbegin(); t != tables_.rend(); ++t) {
    if (auto v = (*t)->get(key)) {
      if (v->empty()) return std::nullopt;
      return v;
    }
  }
  return std::nullopt;
}

bool MemKvStore::set(const SharedBytes& key, const SharedBytes& value) {
  if (key.empty() || key.size() > kMaxKeyLen) return false;
  mem_table_.insert_or_assign(key, value);
  return true;
}

bool MemKvStore::compare_and_swap(const SharedBytes& key,
                                  const std::optional<SharedBytes>& expected,
                                  const SharedBytes& value) {
  if (key.empty() || key.size() > kMaxKeyLen) return false;
  if (get(key) != expected) return false;
  return set(key, value);
}

std::optional<SharedBytes> MemKvStore::remove(const SharedBytes& key) {
  if (key.empty() || key.size() > kMaxKeyLen) return std::nullopt;
  std::optional<SharedBytes> old = get(key);
  set(key, SharedBytes());
  return old;
}

bool MemKvStore::contains_key(ByteView key) const {
  if (key.empty()) return false;
  if (auto it = mem_table_.find(key); it != mem_table_.end()) return !it->second.empty();
  for (auto t = tables_.rbegin(); t != tables_.rend(); ++t) {
    if (auto v = (*t)->get(key)) return !v->empty();
  }
  return false;
}

std::unique_ptr<KvIterator> MemKvStore::scan(const KeyBound& start, const KeyBound& end) const {
  return make_scan(mem_table_, tables_, start, end, /*skip_deleted=*/true);
}

size_t MemKvStore::len() const {
  auto it = scan(KeyBound::unbounded(), KeyBound::unbounded());
  size_t n = 0;
  while (it->next()) ++n;
  return n;
}

bool MemKvStore::is_empty() const {
  return len() == 0;
}

size_t MemKvStore::size() const {
  size_t n = 0;
  for (const auto& [k, v] : mem_table_) n += k.size() + v.size();
  for (const auto& t : tables_) n += t->data().size();
  return n;
}

void MemKvStore::export_with_encoded_block(SsTableBuilder& builder) const {
  const SsTable& table = *tables_.front();
  const size_t nblocks = table.block_count();
  auto m = mem_table_.begin();
  size_t bi = 0;
  while (true) {
    if (bi == nblocks) {
      for (; m != mem_table_.end(); ++m) builder.add(m->first, m->second);
      return;
    }
    if (m == mem_table_.end()) {
      for (; bi < nblocks; ++bi) builder.add_encoded_block(table.get_block(bi));
      return;
    }
    BlockPtr block = table.get_block(bi);
    if (compare_bytes(block->last_key(), m->first) < 0) {
      builder.add_encoded_block(block);
      ++bi;
      continue;
    }
    if (compare_bytes(block->first_key(), m->first) > 0) {
      builder.add(m->first, m->second);
      ++m;
      continue;
    }
    // A memory key falls inside this block: merge it entry by entry.
    BlockIter it(block);
    while (it.front_valid()) {
      if (m == mem_table_.end()) {
        builder.add(it.front_key(), it.front_value());
        it.advance_front();
        continue;
      }
      const int c = compare_bytes(it.front_key(), m->first);
      if (c < 0) {
        builder.add(it.front_key(), it.front_value());
        it.advance_front();
      } else if (c > 0) {
        builder.add(m->first, m->second);
        ++m;
      } else {
        builder.add(m->first, m->second);
        ++m;
        it.advance_front();
      }
    }
    ++bi;
  }
}

void MemKvStore::export_merged(SsTableBuilder& builder) const {
  if (tables_.empty()) {
    for (const auto& [k, v] : mem_table_) builder.add(k, v);
    return;
  }
  auto it = make_scan(mem_table_, tables_, KeyBound::unbounded(), KeyBound::unbounded(),
                      /*skip_deleted=*/false);
  while (auto kv = it->next()) builder.add(kv->key, kv->value);
}

SharedBytes MemKvStore::export_all() {
  // The one-table shortcuts copy the table, or its blocks, byte for byte. A
  // table imported without verification may hold blocks whose checksums do
  // not match: such a table is rebuilt entry by entry instead, so that what
  // this store exports always passes its own verified import.
  const bool copy_blocks = tables_.size() == 1 && tables_.front()->block_checksums_valid();
  if (mem_table_.empty() && copy_blocks) return tables_.front()->data();
  SsTableBuilder builder(options_.block_size, options_.compression_type,
                         options_.should_encode_none, options_.max_lz4_large_value);
  if (copy_blocks) {
    export_with_encoded_block(builder);
  } else {
    export_merged(builder);
  }
  if (builder.wrote_nothing()) return {};
  SsTablePtr table = builder.finish();
  mem_table_.clear();
  tables_.clear();
  tables_.push_back(table);
  return table->data();
}

Result<void, std::string> MemKvStore::import(const SharedBytes& bytes, bool verify) {
  if (bytes.empty()) return {};
  auto parsed = SsTable::parse(bytes, verify, options_.max_lz4_large_value);
  if (!parsed.ok()) return Err(parsed.error().to_string());
  tables_.push_back(std::move(parsed).value());
  return {};
}

Result<void, std::string> MemKvStore::import_all(const SharedBytes& bytes) {
  return import(bytes, true);
}

Result<void, std::string> MemKvStore::import_all_unverified(const SharedBytes& bytes) {
  return import(bytes, false);
}

KvWrapper MemKvStore::clone_store() const {
  auto copy = std::make_unique<MemKvStore>(options_);
  copy->mem_table_ = mem_table_;
  copy->tables_.reserve(tables_.size());
  for (const auto& t : tables_) copy->tables_.push_back(t->copy());
  return KvWrapper(std::move(copy));
}

}  // namespace kesu
