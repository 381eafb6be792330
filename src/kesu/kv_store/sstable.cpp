#include "kesu/kv_store/sstable.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "kesu/kv_store/table_checksum.h"
#include "util/hex.h"

namespace kesu {

using brenvik::Err;
using brenvik::Result;

namespace {

// Bounded little-endian reader over [pos, end) of the table bytes.
struct Reader {
  const uint8_t* base;
  size_t pos;
  size_t end;
  bool take(size_t n) const { return n <= end - pos; }
  bool u8(uint8_t& v) {
    if (!take(1)) return false;
    v = base[pos++];
    return true;
  }
  bool u16(size_t& v) {
    if (!take(2)) return false;
    v = brenvik::load_u16_le(base + pos);
    pos += 2;
    return true;
  }
  bool u32(size_t& v) {
    if (!take(4)) return false;
    v = brenvik::load_u32_le(base + pos);
    pos += 4;
    return true;
  }
};

// Stand-in for a block that cannot be decoded. Parsing decodes every block,
// so a parsed table never needs it; it keeps reads total (no abort on stored
// bytes) should that guarantee ever be broken.
BlockPtr empty_block(const SharedBytes& first_key) {
  return std::make_shared<const Block>(
      Block::built_normal(first_key, first_key, SharedBytes(), 0, 0, false));
}

}  // namespace

// ---- SsTable ----

SsTable::SsTable(SharedBytes data, std::vector<BlockMeta> meta, size_t meta_offset,
                 size_t max_lz4_large)
    : data_(std::move(data)),
      meta_(std::move(meta)),
      meta_offset_(meta_offset),
      max_lz4_large_(max_lz4_large),
      cache_(std::make_unique<BlockCache>()) {
  if (!meta_.empty()) {
    first_key_ = meta_.front().first_key;
    last_key_ = meta_.back().max_key();
  }
}

SsTablePtr SsTable::copy() const {
  auto t = std::make_shared<SsTable>(data_, meta_, meta_offset_, max_lz4_large_);
  t->checksums_.store(checksums_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  return t;
}

bool SsTable::block_checksums_valid() const {
  int8_t state = checksums_.load(std::memory_order_relaxed);
  if (state == kChecksumsUnknown) {
    state = kChecksumsGood;
    const uint8_t* p = data_.data();
    for (size_t i = 0; i < meta_.size(); ++i) {
      const size_t s = meta_[i].offset;
      const size_t e = i + 1 < meta_.size() ? meta_[i + 1].offset : meta_offset_;
      if (table_checksum(data_.view().subspan(s, e - 4 - s)) != brenvik::load_u32_le(p + e - 4)) {
        state = kChecksumsBad;
        break;
      }
    }
    checksums_.store(state, std::memory_order_relaxed);
  }
  return state == kChecksumsGood;
}

Result<SsTablePtr, KvError> SsTable::parse(SharedBytes bytes, bool verify_block_checksums,
                                           size_t max_lz4_large) {
  const size_t len = bytes.size();
  const uint8_t* p = bytes.data();
  if (len <= 8) return Err(KvError::decode("Invalid sstable bytes"));
  if (!std::equal(p, p + 4, kTableMagic)) return Err(KvError::decode("Invalid magic number"));
  if (p[4] != kTableSchemaVersion) {
    return Err(KvError::decode("Invalid schema version " + std::to_string(p[4]) +
                               ", current support max version is " +
                               std::to_string(kTableSchemaVersion)));
  }
  const size_t m = brenvik::load_u32_le(p + len - 4);
  if (m >= len - 4) return Err(KvError::invalid_bytes());
  const size_t r = len - 4 - m;
  if (r < 4) return Err(KvError::invalid_bytes());
  const size_t n = brenvik::load_u32_le(p + m);
  if (n > kMaxTableBlocks) return Err(KvError::invalid_bytes());
  if (r < 8) return Err(KvError::invalid_bytes());
  if (uint64_t(7) * n > r - 8) return Err(KvError::invalid_bytes());

  const uint32_t computed = table_checksum(bytes.view().subspan(m + 4, len - 8 - (m + 4)));

  // n is bounded by the bytes that follow (at least 7 per meta), so this
  // reservation cannot exceed what the input itself occupies.
  std::vector<BlockMeta> metas;
  metas.reserve(n);
  Reader rd{p, m + 4, len - 4};
  for (size_t i = 0; i < n; ++i) {
    BlockMeta bm;
    size_t first_len = 0;
    if (!rd.u32(bm.offset) || !rd.u16(first_len) || !rd.take(first_len)) {
      return Err(KvError::invalid_bytes());
    }
    bm.first_key = bytes.slice(rd.pos, first_len);
    rd.pos += first_len;
    uint8_t flags = 0;
    if (!rd.u8(flags)) return Err(KvError::invalid_bytes());
    bm.is_large = (flags & 0x80) != 0;
    const uint8_t compression = flags & 0x7f;
    if (!bm.is_large) {
      size_t last_len = 0;
      if (!rd.u16(last_len) || !rd.take(last_len)) return Err(KvError::invalid_bytes());
      bm.last_key = bytes.slice(rd.pos, last_len);
      rd.pos += last_len;
    }
    if (compression >= 2) {
      return Err(KvError::decode("Invalid compression type: " + std::to_string(compression)));
    }
    bm.compression_type = CompressionType(compression);
    metas.push_back(std::move(bm));
  }
  size_t stored = 0;
  if (!rd.u32(stored)) return Err(KvError::invalid_bytes());
  if (stored != computed) return Err(KvError::checksum_mismatch());

  for (size_t i = 0; i < n; ++i) {
    const size_t s = metas[i].offset;
    const size_t e = i + 1 < n ? metas[i + 1].offset : m;
    if (s < 5 || e <= s || e - s < 4 || e > m) return Err(KvError::invalid_bytes());
  }
  if (verify_block_checksums) {
    for (size_t i = 0; i < n; ++i) {
      const size_t s = metas[i].offset;
      const size_t e = i + 1 < n ? metas[i + 1].offset : m;
      const uint32_t want = brenvik::load_u32_le(p + e - 4);
      if (table_checksum(bytes.view().subspan(s, e - 4 - s)) != want) {
        return Err(KvError::checksum_mismatch());
      }
    }
  }

  auto table = std::make_shared<SsTable>(bytes, std::move(metas), m, max_lz4_large);
  if (!verify_block_checksums)
    table->checksums_.store(kChecksumsUnknown, std::memory_order_relaxed);
  // Decode every block now: a table either imports whole and readable or is
  // refused, and lookups never meet a block they cannot decode. The metas
  // must agree with the blocks, and blocks must follow each other in key
  // order, since lookups binary-search the metas.
  const std::vector<BlockMeta>& mt = table->meta_;
  for (size_t i = 0; i < n; ++i) {
    auto decoded = Block::decode(table->block_bytes(i), mt[i].is_large, mt[i].first_key,
                                 mt[i].compression_type, max_lz4_large);
    if (!decoded.ok()) return Err(std::move(decoded).error());
    const Block& b = decoded.value();
    if (!mt[i].is_large && b.last_key() != *mt[i].last_key) return Err(KvError::invalid_bytes());
    if (i > 0 && compare_bytes(mt[i - 1].max_key(), mt[i].first_key) >= 0) {
      return Err(KvError::invalid_bytes());
    }
    table->cache_->insert(i, std::make_shared<const Block>(std::move(decoded).value()));
  }
  return SsTablePtr(std::move(table));
}

SharedBytes SsTable::block_bytes(size_t index) const {
  const size_t s = meta_[index].offset;
  const size_t e = index + 1 < meta_.size() ? meta_[index + 1].offset : meta_offset_;
  return data_.slice(s, e - s);
}

BlockPtr SsTable::get_block(size_t index) const {
  return cache_->get_or_insert(index, [&]() -> BlockPtr {
    const BlockMeta& bm = meta_[index];
    auto decoded = Block::decode(block_bytes(index), bm.is_large, bm.first_key, bm.compression_type,
                                 max_lz4_large_);
    if (!decoded.ok()) return empty_block(bm.first_key);
    return std::make_shared<const Block>(std::move(decoded).value());
  });
}

size_t SsTable::find_block(ByteView key) const {
  auto it = std::upper_bound(meta_.begin(), meta_.end(), key, [](ByteView k, const BlockMeta& bm) {
    return compare_bytes(k, bm.first_key) < 0;
  });
  if (it == meta_.begin()) return 0;
  return size_t(it - meta_.begin()) - 1;
}

std::optional<SharedBytes> SsTable::get(ByteView key) const {
  if (meta_.empty() || key.empty()) return std::nullopt;
  if (compare_bytes(key, first_key_) < 0 || compare_bytes(key, last_key_) > 0) return std::nullopt;
  BlockIter it = BlockIter::seek_to_key(get_block(find_block(key)), key);
  if (it.front_valid() && compare_bytes(it.front_key(), key) == 0) return it.front_value();
  return std::nullopt;
}

bool SsTable::contains_key(ByteView key) const {
  if (meta_.empty() || key.empty()) return false;
  if (compare_bytes(key, first_key_) < 0 || compare_bytes(key, last_key_) > 0) return false;
  BlockIter it = BlockIter::seek_to_key(get_block(find_block(key)), key);
  return it.front_valid() && compare_bytes(it.front_key(), key) == 0;
}

std::string SsTable::fmt() const {
  std::string s = "SsTable { data: " + std::to_string(data_.size()) +
                  " bytes, first_key: " + brenvik::hex_encode(first_key_) +
                  ", last_key: " + brenvik::hex_encode(last_key_) + ", meta: [";
  for (size_t i = 0; i < meta_.size(); ++i) {
    const BlockMeta& bm = meta_[i];
    if (i) s += ", ";
    s += "BlockMeta { offset: " + std::to_string(bm.offset) +
         ", is_large: " + (bm.is_large ? "true" : "false") +
         ", compression_type: " + std::to_string(int(bm.compression_type)) +
         ", first_key: " + brenvik::hex_encode(bm.first_key) +
         ", last_key: " + (bm.last_key ? brenvik::hex_encode(*bm.last_key) : std::string("None")) +
         " }";
  }
  s += "], meta_offset: " + std::to_string(meta_offset_) +
       ", block_cache: " + std::to_string(cache_->entry_count()) + " blocks }";
  return s;
}

// ---- SsTableBuilder ----

SsTableBuilder::SsTableBuilder(size_t block_size, CompressionType compression,
                               bool should_encode_none, size_t max_lz4_large)
    : block_builder_(block_size),
      block_size_(block_size),
      compression_(compression),
      should_encode_none_(should_encode_none),
      max_lz4_large_(max_lz4_large) {
  out_.reserve(block_size + 64);
  for (uint8_t c : kTableMagic) out_.push_back(c);
  out_.push_back(kTableSchemaVersion);
}

void SsTableBuilder::add(ByteView key, ByteView value) {
  if (key.empty()) return;
  if (value.empty() && !should_encode_none_) return;
  if (key.size() > kMaxKeyLen) throw std::length_error("sorted-table key longer than 65535 bytes");
  if (first_key_.empty()) first_key_.assign(key.begin(), key.end());
  if (!block_builder_.add(key, value)) {
    finish_block();
    if (!block_builder_.add(key, value)) {
      throw std::logic_error("assertion failed: self.block_builder.add(&key, &value)");
    }
    first_key_.assign(key.begin(), key.end());
  }
  last_key_.assign(key.begin(), key.end());
}

void SsTableBuilder::add_encoded_block(const BlockPtr& block) {
  const size_t est = block_builder_.entries_len() +
                     (block_builder_.is_large() ? 0 : 2 * block_builder_.entry_count() + 6);
  const size_t per_entry = block->is_large() ? 8 : 8 * block->entry_count();
  const bool re_add = est + block->data_len() + per_entry < block_size_ ||
                      (!should_encode_none_ && block->has_empty_value());
  if (re_add) {
    Bytes key;
    for (size_t i = 0; i < block->entry_count(); ++i) {
      size_t b = 0;
      size_t e = 0;
      block->entry_key(i, key);
      block->entry_value_range(i, b, e);
      add(key, block->value_slice(b, e));
    }
    return;
  }
  finish_block();
  first_key_ = block->first_key().to_vector();
  last_key_ = block->last_key().to_vector();
  write_block(*block);
}

void SsTableBuilder::finish_block() {
  if (block_builder_.is_empty()) return;
  Block b = block_builder_.build();  // leaves the builder empty
  write_block(b);
}

void SsTableBuilder::write_block(const Block& block) {
  if (!block_builder_.is_empty()) {
    throw std::logic_error("assertion failed: self.block_builder.is_empty()");
  }
  BlockMeta bm;
  bm.offset = out_.size();
  bm.is_large = block.is_large();
  bm.compression_type = block.encode(out_, compression_, max_lz4_large_);
  bm.first_key = SharedBytes::copy_of(first_key_);
  first_key_.clear();
  if (!block.is_large()) {
    bm.last_key = SharedBytes::copy_of(last_key_);
    last_key_.clear();
  }
  if (out_.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("sorted-table file would reach 4 GiB");
  }
  metas_.push_back(std::move(bm));
}

SsTablePtr SsTableBuilder::finish() {
  finish_block();
  const size_t m = out_.size();
  brenvik::put_u32_le(out_, uint32_t(metas_.size()));
  for (const BlockMeta& bm : metas_) {
    brenvik::put_u32_le(out_, uint32_t(bm.offset));
    brenvik::put_u16_le(out_, uint16_t(bm.first_key.size()));
    brenvik::append(out_, bm.first_key);
    out_.push_back(uint8_t((bm.is_large ? 0x80 : 0) | uint8_t(bm.compression_type)));
    if (!bm.is_large) {
      brenvik::put_u16_le(out_, uint16_t(bm.last_key->size()));
      brenvik::append(out_, *bm.last_key);
    }
  }
  const uint32_t sum = table_checksum(ByteView(out_).subspan(m + 4));
  brenvik::put_u32_le(out_, sum);
  brenvik::put_u32_le(out_, uint32_t(m));
  if (out_.size() > std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("sorted-table file would reach 4 GiB");
  }
  SharedBytes data = SharedBytes::from_vector(std::move(out_));
  std::vector<BlockMeta> metas = std::move(metas_);
  out_.clear();
  metas_.clear();
  return std::make_shared<const SsTable>(std::move(data), std::move(metas), m, max_lz4_large_);
}

// ---- SsTableIter ----

SsTableIter::SsTableIter(SsTablePtr table, const KeyBound& start, const KeyBound& end)
    : table_(std::move(table)) {
  const int64_t nblocks = int64_t(table_->block_count());
  if (nblocks == 0) return;
  done_ = false;
  if (start.bounded()) {
    front_block_ = int64_t(table_->find_block(start.key));
    front_.emplace(BlockIter::seek_to_key(table_->get_block(size_t(front_block_)), start.key));
  } else {
    front_block_ = 0;
    front_.emplace(table_->get_block(0));
  }
  if (!end.bounded()) {
    back_block_ = nblocks - 1;
  } else {
    const auto& mt = table_->meta();
    auto it = std::find_if(mt.begin(), mt.end(), [&](const BlockMeta& bm) {
      return compare_bytes(bm.max_key(), end.key) > 0;
    });
    back_block_ = it == mt.end() ? nblocks - 1 : int64_t(it - mt.begin());
  }
  if (back_block_ < front_block_) {  // start after end: an empty range
    done_ = true;
    front_.reset();
    return;
  }
  if (back_block_ == front_block_) {
    if (end.bounded()) front_->seek_back(end.key);
  } else if (end.bounded()) {
    back_.emplace(BlockIter::seek_to_key_back(table_->get_block(size_t(back_block_)), end.key));
  } else {
    back_.emplace(table_->get_block(size_t(back_block_)));
  }
  skip_invalid_front();
  skip_invalid_back();
  if (start.kind == KeyBound::Kind::Excluded && front_valid() &&
      compare_bytes(front_key(), start.key) == 0) {
    advance_front();
  }
  if (end.kind == KeyBound::Kind::Excluded && back_valid() &&
      compare_bytes(back_key(), end.key) == 0) {
    advance_back();
  }
}

bool SsTableIter::front_valid() const {
  return !done_ && front_ && front_->front_valid();
}
bool SsTableIter::back_valid() const {
  return !done_ && front_ && back_iter().back_valid();
}

void SsTableIter::move_front_to_next_block() {
  ++front_block_;
  if (front_block_ > back_block_) {
    done_ = true;
  } else if (front_block_ == back_block_ && back_) {
    front_ = std::move(back_);
    back_.reset();
  } else {
    front_.emplace(table_->get_block(size_t(front_block_)));
  }
}

void SsTableIter::move_back_to_prev_block() {
  --back_block_;
  if (back_block_ < front_block_) {
    done_ = true;
  } else if (back_block_ == front_block_) {
    back_.reset();
  } else {
    back_.emplace(table_->get_block(size_t(back_block_)));
  }
}

void SsTableIter::skip_invalid_front() {
  while (!done_ && !front_->front_valid() && front_block_ < back_block_) {
    move_front_to_next_block();
  }
}

void SsTableIter::skip_invalid_back() {
  while (!done_ && !back_iter().back_valid() && front_block_ < back_block_) {
    move_back_to_prev_block();
  }
}

void SsTableIter::advance_front() {
  front_->advance_front();
  if (!front_->front_valid()) {
    if (front_block_ < back_block_) {
      move_front_to_next_block();
      skip_invalid_front();
    }
  }
}

void SsTableIter::advance_back() {
  back_iter().advance_back();
  if (!back_iter().back_valid()) {
    if (front_block_ < back_block_) {
      move_back_to_prev_block();
      skip_invalid_back();
    }
  }
}

std::optional<KvPair> SsTableIter::next() {
  if (!front_valid()) return std::nullopt;
  KvPair out = front();
  advance_front();
  return out;
}

std::optional<KvPair> SsTableIter::next_back() {
  if (!back_valid()) return std::nullopt;
  KvPair out = back();
  advance_back();
  return out;
}

// ---- MergeIterator ----

void MergeIterator::drop_exhausted() {
  std::erase_if(iters_, [](const SsTableIter& it) { return !it.front_valid(); });
}

std::optional<KvPair> MergeIterator::next() {
  int cand = -1;
  for (size_t i = 0; i < iters_.size(); ++i) {
    if (!iters_[i].front_valid()) continue;
    if (cand < 0) {
      cand = int(i);
      continue;
    }
    const int c = compare_bytes(iters_[i].front_key(), iters_[size_t(cand)].front_key());
    if (c < 0) {
      cand = int(i);
    } else if (c == 0) {
      iters_[i].advance_front();  // an older table's value for the same key
    }
  }
  std::optional<KvPair> out;
  if (cand >= 0) out = iters_[size_t(cand)].next();
  drop_exhausted();
  return out;
}

std::optional<KvPair> MergeIterator::next_back() {
  int cand = -1;
  for (size_t i = 0; i < iters_.size(); ++i) {
    if (!iters_[i].back_valid()) continue;
    if (cand < 0) {
      cand = int(i);
      continue;
    }
    const int c = compare_bytes(iters_[i].back_key(), iters_[size_t(cand)].back_key());
    if (c > 0) {
      cand = int(i);
    } else if (c == 0) {
      iters_[i].advance_back();
    }
  }
  std::optional<KvPair> out;
  if (cand >= 0) out = iters_[size_t(cand)].next_back();
  drop_exhausted();
  return out;
}

}  // namespace kesu
