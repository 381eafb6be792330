// Blocks of a sorted table: the builder, the decoded block and its file form.
//
// A normal block holds up to 65,535 entries in a section of at most 65,535
// bytes. Its first key lives only in the block meta; every later entry stores
// the length of the prefix it shares with the first key (at most 255), its
// key suffix and its value, which runs to the start of the next entry. A
// large block holds one value too big for a normal block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kesu/kv_store/kv_error.h"
#include "kesu/kv_store/shared_bytes.h"
#include "util/result.h"

namespace kesu {

enum class CompressionType : uint8_t { None = 0, LZ4 = 1 };

// Largest key the format can hold (key lengths are u16).
inline constexpr size_t kMaxKeyLen = 65535;
// Largest entries section of a normal block.
inline constexpr size_t kMaxEntriesLen = 65535;
// Largest plain form of a normal block: entries, 65,535 u16 offsets, count.
// An LZ4 payload of a normal block never needs to decode to more than this.
inline constexpr size_t kMaxNormalPlainLen = kMaxEntriesLen + 2 * 65535 + 2;
// Default bound on the decoded size of an LZ4-compressed large block. The
// writer stores larger values plain, so its own files always stay readable;
// the bound stops a small hostile frame from expanding without limit.
inline constexpr size_t kDefaultMaxLz4LargeValue = size_t{64} << 20;

class Block {
 public:
  // A block built in memory (see BlockBuilder::build). For a normal block
  // `plain` is the full plain form (entries, offsets, count).
  static Block built_normal(SharedBytes first_key, SharedBytes last_key, SharedBytes plain,
                            size_t entries_len, size_t count, bool has_empty_value);
  static Block built_large(SharedBytes key, SharedBytes value);

  // Decodes the file bytes of one block (payload followed by its u32
  // checksum; the checksum is not verified here). Every structural fault of
  // the payload is an error; a decoded block can be read without further
  // checks. `max_lz4_large` bounds the decoded size of an LZ4 large block.
  static brenvik::Result<Block, KvError> decode(const SharedBytes& raw, bool is_large,
                                                const SharedBytes& first_key,
                                                CompressionType compression,
                                                size_t max_lz4_large = kDefaultMaxLz4LargeValue);

  // Appends the file form (payload and checksum) to `out` and returns the
  // compression actually used. A block decoded from a file whose recorded
  // compression equals `requested` is copied byte for byte. LZ4 is kept only
  // when the frame is no longer than the plain form, and a large value above
  // `max_lz4_large` is stored plain so that readers never need to expand it.
  CompressionType encode(Bytes& out, CompressionType requested,
                         size_t max_lz4_large = kDefaultMaxLz4LargeValue) const;

  bool is_large() const { return large_; }
  const SharedBytes& first_key() const { return first_key_; }
  // A large block's key; otherwise the key of the last entry.
  const SharedBytes& last_key() const { return last_key_; }
  // Number of entries (1 for a large block).
  size_t entry_count() const { return count_; }
  // Length of the entries section (normal) or of the value (large).
  size_t data_len() const { return entries_len_; }
  // Cache weight: the data length, at least 1.
  size_t weight() const { return entries_len_ == 0 ? 1 : entries_len_; }
  // Whether some entry holds an empty value (a deletion marker).
  bool has_empty_value() const { return has_empty_value_; }
  // The file bytes this block was decoded from, if any, and their compression.
  const SharedBytes* raw() const { return has_raw_ ? &raw_ : nullptr; }
  CompressionType raw_compression() const { return raw_compression_; }

  // Entry access for iterators; i < entry_count(). The key is rebuilt into
  // `key_out`; the value is returned as a range of the block's data.
  void entry_key(size_t i, Bytes& key_out) const;
  void entry_value_range(size_t i, size_t& begin, size_t& end) const;
  SharedBytes value_slice(size_t begin, size_t end) const {
    return plain_.slice(begin, end - begin);
  }

 private:
  Block() = default;
  size_t offset_at(size_t i) const {
    return brenvik::load_u16_le(plain_.data() + entries_len_ + 2 * i);
  }

  bool large_ = false;
  SharedBytes first_key_;
  SharedBytes last_key_;
  SharedBytes plain_;  // plain form (normal) or the value (large)
  size_t entries_len_ = 0;
  size_t count_ = 0;
  bool has_empty_value_ = false;
  bool has_raw_ = false;
  SharedBytes raw_;
  CompressionType raw_compression_ = CompressionType::None;
};

using BlockPtr = std::shared_ptr<const Block>;

// Builds one block from entries added in strictly increasing key order.
class BlockBuilder {
 public:
  explicit BlockBuilder(size_t block_size) : block_size_(block_size) {}

  // Adds the pair when it fits and returns whether it did. An empty key is
  // never added. The first pair of an empty builder always fits: a value
  // longer than the block size or than 65,535 bytes makes the block large.
  bool add(ByteView key, ByteView value);
  // Requires !is_empty(). Leaves the builder empty.
  Block build();

  bool is_empty() const { return offsets_.empty() && !large_; }
  bool is_large() const { return large_; }
  size_t entries_len() const { return data_.size(); }
  size_t entry_count() const { return offsets_.size(); }

 private:
  size_t block_size_;
  bool large_ = false;
  Bytes data_;
  std::vector<uint16_t> offsets_;
  Bytes first_key_;
  Bytes last_key_;
  bool has_empty_value_ = false;
};

// Length of the prefix an entry's key stores as shared with the block's first
// key: the common prefix, capped at 255, except that a key sharing a whole
// shorter key stores 0 (its whole key is then the suffix).
size_t shared_prefix_len(ByteView key, ByteView first_key);

// Double-ended iterator over one decoded block. The two cursors never yield
// the same entry twice.
class BlockIter {
 public:
  // Front on the first entry, back on the last.
  explicit BlockIter(BlockPtr block);
  // Front on the first entry whose key is >= key; back on the last entry.
  static BlockIter seek_to_key(BlockPtr block, ByteView key);
  // Front on the first entry; back on the last entry whose key is <= key.
  static BlockIter seek_to_key_back(BlockPtr block, ByteView key);

  bool front_valid() const { return !front_.key.empty() && front_.idx <= back_.idx; }
  bool back_valid() const { return !back_.key.empty() && front_.idx <= back_.idx; }
  // Require the matching *_valid(). Views live until the cursor moves.
  ByteView front_key() const { return front_.key; }
  ByteView back_key() const { return back_.key; }
  SharedBytes front_value() const { return block_->value_slice(front_.vbegin, front_.vend); }
  SharedBytes back_value() const { return block_->value_slice(back_.vbegin, back_.vend); }
  bool front_value_empty() const { return front_.vbegin == front_.vend; }
  // Move one entry on; require the matching *_valid().
  void advance_front();
  void advance_back();

  // Puts the back cursor on the last entry whose key is <= key, searching
  // from the front cursor's index on.
  void seek_back(ByteView key);

  const BlockPtr& block() const { return block_; }

 private:
  struct Cursor {
    Bytes key;
    size_t vbegin = 0;
    size_t vend = 0;
    int64_t idx = 0;
  };
  void position(Cursor& c, int64_t i) const;
  void seek_front(ByteView key);

  BlockPtr block_;
  Cursor front_;
  Cursor back_;
};

}  // namespace kesu
