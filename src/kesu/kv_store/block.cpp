#include "kesu/kv_store/block.h"

#include <stdexcept>

#include "kesu/kv_store/lz4_frame.h"
#include "kesu/kv_store/table_checksum.h"

namespace kesu {

using brenvik::Err;
using brenvik::Result;

size_t shared_prefix_len(ByteView key, ByteView first_key) {
  const size_t shorter = key.size() < first_key.size() ? key.size() : first_key.size();
  if (shorter == 0) return 0;
  size_t i = 0;
  while (true) {
    if (i == 255) return 255;
    if (key[i] != first_key[i]) return i;
    ++i;
    if (i == shorter) return 0;
  }
}

Block Block::built_normal(SharedBytes first_key, SharedBytes last_key, SharedBytes plain,
                          size_t entries_len, size_t count, bool has_empty_value) {
  Block b;
  b.first_key_ = std::move(first_key);
  b.last_key_ = std::move(last_key);
  b.plain_ = std::move(plain);
  b.entries_len_ = entries_len;
  b.count_ = count;
  b.has_empty_value_ = has_empty_value;
  return b;
}

Block Block::built_large(SharedBytes key, SharedBytes value) {
  Block b;
  b.large_ = true;
  b.first_key_ = key;
  b.last_key_ = std::move(key);
  b.entries_len_ = value.size();
  b.has_empty_value_ = value.empty();
  b.plain_ = std::move(value);
  b.count_ = 1;
  return b;
}

Result<Block, KvError> Block::decode(const SharedBytes& raw, bool is_large,
                                     const SharedBytes& first_key, CompressionType compression,
                                     size_t max_lz4_large) {
  if (first_key.empty() || raw.size() < 4) return Err(KvError::invalid_bytes());
  const size_t payload_len = raw.size() - 4;
  SharedBytes plain;
  switch (compression) {
    case CompressionType::None:
      plain = raw.slice(0, payload_len);
      break;
    case CompressionType::LZ4: {
      auto decoded = lz4_frame_decompress(raw.view().first(payload_len),
                                          is_large ? max_lz4_large : kMaxNormalPlainLen);
      if (!decoded.ok()) return Err(KvError::decode(std::move(decoded).error()));
      plain = SharedBytes::from_vector(std::move(decoded).value());
      break;
    }
  }

  Block b;
  b.has_raw_ = true;
  b.raw_ = raw;
  b.raw_compression_ = compression;
  b.first_key_ = first_key;
  if (is_large) {
    b.large_ = true;
    b.last_key_ = first_key;
    b.entries_len_ = plain.size();
    b.count_ = 1;
    b.has_empty_value_ = plain.empty();
    b.plain_ = std::move(plain);
    return b;
  }

  const size_t n = plain.size();
  if (n < 2) return Err(KvError::invalid_bytes());
  const uint8_t* p = plain.data();
  const size_t count = brenvik::load_u16_le(p + n - 2);
  if (count == 0 || n < 2 * count + 2) return Err(KvError::invalid_bytes());
  const size_t entries_len = n - 2 * count - 2;
  if (entries_len >= 65536) return Err(KvError::invalid_bytes());
  const uint8_t* offs = p + entries_len;
  auto off = [&](size_t i) -> size_t { return brenvik::load_u16_le(offs + 2 * i); };
  if (off(0) != 0) return Err(KvError::invalid_bytes());
  if (count >= 2 && entries_len < off(1)) return Err(KvError::invalid_bytes());
  bool has_empty = (count >= 2 ? off(1) : entries_len) == 0;

  Bytes prev(first_key.data(), first_key.data() + first_key.size());
  Bytes key;
  for (size_t i = 1; i < count; ++i) {
    const size_t start = off(i);
    if (start < off(i - 1)) return Err(KvError::invalid_bytes());
    const size_t end = i + 1 < count ? off(i + 1) : entries_len;
    if (end < start || end > entries_len) return Err(KvError::invalid_bytes());
    if (end - start < 3) return Err(KvError::invalid_bytes());
    const size_t shared = p[start];
    const size_t suffix = brenvik::load_u16_le(p + start + 1);
    if (shared > first_key.size()) return Err(KvError::invalid_bytes());
    if (suffix > end - start - 3) return Err(KvError::invalid_bytes());
    key.assign(first_key.data(), first_key.data() + shared);
    key.insert(key.end(), p + start + 3, p + start + 3 + suffix);
    // A rebuilt key may exceed what a key length can say (255 shared bytes
    // plus a long suffix); such a key could never be written again.
    if (key.empty() || key.size() > kMaxKeyLen || compare_bytes(key, prev) <= 0) {
      return Err(KvError::invalid_bytes());
    }
    if (start + 3 + suffix == end) has_empty = true;
    prev.swap(key);
  }

  b.entries_len_ = entries_len;
  b.count_ = count;
  b.has_empty_value_ = has_empty;
  b.last_key_ = count == 1 ? first_key : SharedBytes::copy_of(prev);
  b.plain_ = std::move(plain);
  return b;
}

CompressionType Block::encode(Bytes& out, CompressionType requested, size_t max_lz4_large) const {
  if (has_raw_ && raw_compression_ == requested) {
    brenvik::append(out, raw_);
    return requested;
  }
  const ByteView plain = plain_.view();
  const size_t start = out.size();
  CompressionType used = CompressionType::None;
  const bool try_lz4 =
      requested == CompressionType::LZ4 && !(large_ && plain.size() > max_lz4_large);
  if (try_lz4) {
    lz4_frame_compress(plain, out);
    if (plain.size() < out.size() - start) {
      out.resize(start);
      brenvik::append(out, plain);
    } else {
      used = CompressionType::LZ4;
    }
  } else {
    brenvik::append(out, plain);
  }
  const uint32_t sum = table_checksum(ByteView(out).subspan(start));
  brenvik::put_u32_le(out, sum);
  return used;
}

void Block::entry_key(size_t i, Bytes& key_out) const {
  if (large_ || i == 0) {
    key_out.assign(first_key_.data(), first_key_.data() + first_key_.size());
    return;
  }
  const uint8_t* p = plain_.data() + offset_at(i);
  const size_t shared = p[0];
  const size_t suffix = brenvik::load_u16_le(p + 1);
  key_out.assign(first_key_.data(), first_key_.data() + shared);
  key_out.insert(key_out.end(), p + 3, p + 3 + suffix);
}

void Block::entry_value_range(size_t i, size_t& begin, size_t& end) const {
  if (large_) {
    begin = 0;
    end = entries_len_;
    return;
  }
  end = i + 1 < count_ ? offset_at(i + 1) : entries_len_;
  if (i == 0) {
    begin = 0;
    return;
  }
  const size_t off = offset_at(i);
  begin = off + 3 + brenvik::load_u16_le(plain_.data() + off + 1);
}

bool BlockBuilder::add(ByteView key, ByteView value) {
  if (key.empty()) return false;
  if (is_empty()) {
    first_key_.assign(key.begin(), key.end());
    last_key_ = first_key_;
    if (value.size() > block_size_ || value.size() > kMaxEntriesLen) {
      large_ = true;
      data_.assign(value.begin(), value.end());
      return true;
    }
    offsets_.push_back(0);
    brenvik::append(data_, value);
    has_empty_value_ = value.empty();
    return true;
  }
  if (offsets_.size() > 65534) return false;
  const size_t shared = shared_prefix_len(key, first_key_);
  const size_t suffix = key.size() - shared;
  if (data_.size() + 3 + suffix + value.size() > kMaxEntriesLen) return false;
  const size_t overhead = large_ ? 0 : 2 * offsets_.size() + 6;
  if (data_.size() + overhead + suffix + value.size() + 3 > block_size_) return false;
  offsets_.push_back(uint16_t(data_.size()));
  data_.push_back(uint8_t(shared));
  brenvik::put_u16_le(data_, uint16_t(suffix));
  data_.insert(data_.end(), key.begin() + shared, key.end());
  brenvik::append(data_, value);
  if (value.empty()) has_empty_value_ = true;
  last_key_.assign(key.begin(), key.end());
  return true;
}

Block BlockBuilder::build() {
  if (is_empty()) throw std::logic_error("BlockBuilder::build on an empty builder");
  SharedBytes first = SharedBytes::copy_of(first_key_);
  Block out = [&] {
    if (large_) return Block::built_large(first, SharedBytes::from_vector(std::move(data_)));
    const size_t entries_len = data_.size();
    const size_t count = offsets_.size();
    for (uint16_t o : offsets_) brenvik::put_u16_le(data_, o);
    brenvik::put_u16_le(data_, uint16_t(count));
    SharedBytes last = count == 1 ? first : SharedBytes::copy_of(last_key_);
    return Block::built_normal(first, std::move(last), SharedBytes::from_vector(std::move(data_)),
                               entries_len, count, has_empty_value_);
  }();
  large_ = false;
  data_.clear();
  offsets_.clear();
  first_key_.clear();
  last_key_.clear();
  has_empty_value_ = false;
  return out;
}

// ---- BlockIter ----

BlockIter::BlockIter(BlockPtr block) : block_(std::move(block)) {
  position(front_, 0);
  position(back_, int64_t(block_->entry_count()) - 1);
}

BlockIter BlockIter::seek_to_key(BlockPtr block, ByteView key) {
  BlockIter it(std::move(block));
  it.seek_front(key);
  return it;
}

BlockIter BlockIter::seek_to_key_back(BlockPtr block, ByteView key) {
  BlockIter it(std::move(block));
  it.seek_back(key);
  return it;
}

void BlockIter::position(Cursor& c, int64_t i) const {
  c.idx = i;
  if (i < 0 || size_t(i) >= block_->entry_count()) {
    c.key.clear();
    c.vbegin = c.vend = 0;
    return;
  }
  block_->entry_key(size_t(i), c.key);
  block_->entry_value_range(size_t(i), c.vbegin, c.vend);
}

void BlockIter::seek_front(ByteView key) {
  if (block_->is_large()) {
    position(front_, compare_bytes(key, block_->first_key()) <= 0 ? 0 : 1);
    return;
  }
  int64_t lo = 0;
  int64_t hi = int64_t(block_->entry_count());
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    position(front_, mid);
    const int c = compare_bytes(front_.key, key);
    if (c == 0) return;
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  position(front_, lo);
}

void BlockIter::seek_back(ByteView key) {
  if (block_->is_large()) {
    position(back_, compare_bytes(key, block_->first_key()) >= 0 ? 0 : -1);
    return;
  }
  int64_t lo = front_.idx < 0 ? 0 : front_.idx;
  int64_t hi = int64_t(block_->entry_count());
  Bytes probe;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    block_->entry_key(size_t(mid), probe);
    if (compare_bytes(probe, key) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  position(back_, lo - 1);
}

void BlockIter::advance_front() {
  position(front_, front_.idx + 1);
  if (front_.idx > back_.idx) {
    front_.key.clear();
    front_.vbegin = front_.vend = 0;
  }
}

void BlockIter::advance_back() {
  position(back_, back_.idx - 1);
  if (back_.idx < front_.idx) {
    back_.key.clear();
    back_.vbegin = back_.vend = 0;
  }
}

}  // namespace kesu
