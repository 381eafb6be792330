// Sorted tables: the file form of a key/value store, its writer, and the
// in-memory table with point lookups, the block cache and iterators.
//
// File layout (all integers little-endian):
//   "KESU", version byte 0, the blocks back to back in key order,
//   block count N (u32), N block metas, meta checksum (u32), meta offset (u32).
// A block meta is: offset (u32), first-key length (u16), first key, flags (u8:
// bit 7 large, bits 0-6 compression), and for a normal block the last-key
// length (u16) and last key. Every block is its payload followed by the
// xxHash32 of the payload as stored; the meta checksum covers the metas.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kesu/kv_store/block.h"
#include "kesu/kv_store/block_cache.h"
#include "kesu/kv_store/key_bound.h"
#include "kesu/kv_store/kv_error.h"

namespace kesu {

inline constexpr uint8_t kTableMagic[4] = {'K', 'E', 'S', 'U'};
inline constexpr uint8_t kTableSchemaVersion = 0;
inline constexpr uint32_t kMaxTableBlocks = 10'000'000;

struct BlockMeta {
  size_t offset = 0;
  bool is_large = false;
  CompressionType compression_type = CompressionType::None;  // as actually stored
  SharedBytes first_key;
  std::optional<SharedBytes> last_key;  // absent for a large block

  // The largest key of the block as far as the meta knows.
  const SharedBytes& max_key() const { return last_key ? *last_key : first_key; }
};

class SsTable;
using SsTablePtr = std::shared_ptr<const SsTable>;

class SsTable {
 public:
  // Reads and checks a table file. Block checksums are checked when
  // `verify_block_checksums`; every block is decoded whatever the flag, so
  // a table that parses never holds a block that later fails to decode, and
  // the keys of consecutive blocks must be in strictly increasing order. The
  // blocks decoded here prime the block cache.
  static brenvik::Result<SsTablePtr, KvError> parse(
      SharedBytes bytes, bool verify_block_checksums,
      size_t max_lz4_large = kDefaultMaxLz4LargeValue);

  SsTable(SharedBytes data, std::vector<BlockMeta> meta, size_t meta_offset, size_t max_lz4_large);
  SsTable(const SsTable&) = delete;
  SsTable& operator=(const SsTable&) = delete;

  // A copy sharing the file bytes, with copied metas and a new empty cache.
  SsTablePtr copy() const;

  // Whether every block's stored checksum matches its bytes. Known at once
  // for a table written by SsTableBuilder or parsed with verification; for
  // one parsed without, the blocks are hashed on the first call and the
  // answer kept. A table that fails must not be copied byte for byte into
  // an export: the copy would be refused by a verified import.
  bool block_checksums_valid() const;
  // Test hook: makes block_checksums_valid() answer true without hashing, so
  // that tests can mark blocks by a wrong checksum and see which ones an
  // export copies byte for byte.
  void TEST_trust_block_checksums() const {
    checksums_.store(kChecksumsGood, std::memory_order_relaxed);
  }

  const SharedBytes& data() const { return data_; }
  const SharedBytes& first_key() const { return first_key_; }
  const SharedBytes& last_key() const { return last_key_; }
  const std::vector<BlockMeta>& meta() const { return meta_; }
  size_t meta_offset() const { return meta_offset_; }
  size_t block_count() const { return meta_.size(); }
  BlockCache& block_cache() const { return *cache_; }

  // The decoded block `index` (< block_count()), from the cache or decoded now.
  BlockPtr get_block(size_t index) const;
  // The last block whose first key is <= key; block 0 when there is none.
  size_t find_block(ByteView key) const;
  // The value this table stores for the key (possibly empty: a deletion
  // marker), or nothing. Touches no block for a key outside the table's range.
  std::optional<SharedBytes> get(ByteView key) const;
  bool contains_key(ByteView key) const;

  std::string fmt() const;

 private:
  SharedBytes block_bytes(size_t index) const;

  SharedBytes data_;
  SharedBytes first_key_;
  SharedBytes last_key_;
  std::vector<BlockMeta> meta_;
  size_t meta_offset_;
  size_t max_lz4_large_;
  std::unique_ptr<BlockCache> cache_;
  // kChecksumsUnknown until checked (tables parsed without verification).
  static constexpr int8_t kChecksumsBad = -1;
  static constexpr int8_t kChecksumsUnknown = 0;
  static constexpr int8_t kChecksumsGood = 1;
  mutable std::atomic<int8_t> checksums_{kChecksumsGood};
};

// Writes a table from entries added in strictly increasing key order.
class SsTableBuilder {
 public:
  SsTableBuilder(size_t block_size, CompressionType compression, bool should_encode_none,
                 size_t max_lz4_large = kDefaultMaxLz4LargeValue);

  // Adds one entry. An empty key is dropped, and so is an empty value
  // (deletion marker) unless should_encode_none. Keys longer than 65,535
  // bytes cannot be written (a programming error of the caller).
  void add(ByteView key, ByteView value);
  // Adds a whole block read from another table: small blocks join the block
  // under construction, blocks with deletion markers to drop are re-added
  // entry by entry, and otherwise the block is written whole (copied byte for
  // byte when its stored compression is the one requested).
  void add_encoded_block(const BlockPtr& block);
  // True while no block was written and the block builder is empty.
  bool wrote_nothing() const { return metas_.empty() && block_builder_.is_empty(); }
  // Writes the metas and the trailer; the builder is spent afterwards.
  SsTablePtr finish();

 private:
  void finish_block();
  void write_block(const Block& block);

  BlockBuilder block_builder_;
  Bytes out_;
  std::vector<BlockMeta> metas_;
  Bytes first_key_;
  Bytes last_key_;
  size_t block_size_;
  CompressionType compression_;
  bool should_encode_none_;
  size_t max_lz4_large_;
};

// Double-ended iterator over one table between two bounds.
class SsTableIter {
 public:
  SsTableIter(SsTablePtr table, const KeyBound& start, const KeyBound& end);

  bool front_valid() const;
  bool back_valid() const;
  // Require the matching *_valid(); views live until that end moves.
  ByteView front_key() const { return front_->front_key(); }
  ByteView back_key() const { return back_iter().back_key(); }
  KvPair front() const { return {SharedBytes::copy_of(front_key()), front_->front_value()}; }
  KvPair back() const {
    const BlockIter& b = back_iter();
    return {SharedBytes::copy_of(b.back_key()), b.back_value()};
  }
  void advance_front();
  void advance_back();

  std::optional<KvPair> next();
  std::optional<KvPair> next_back();

 private:
  const BlockIter& back_iter() const { return back_ ? *back_ : *front_; }
  BlockIter& back_iter() { return back_ ? *back_ : *front_; }
  void move_front_to_next_block();
  void move_back_to_prev_block();
  void skip_invalid_front();
  void skip_invalid_back();

  SsTablePtr table_;
  std::optional<BlockIter> front_;
  std::optional<BlockIter> back_;  // absent while both ends share front_
  int64_t front_block_ = 0;
  int64_t back_block_ = -1;
  bool done_ = true;
};

// Merges several table iterators, newest first: every key once, in order,
// with the newest table's value (deletion markers included).
class MergeIterator {
 public:
  explicit MergeIterator(std::vector<SsTableIter> iters) : iters_(std::move(iters)) {}

  std::optional<KvPair> next();
  std::optional<KvPair> next_back();

 private:
  int select_front();
  int select_back();
  void drop_exhausted();
  std::vector<SsTableIter> iters_;
};

}  // namespace kesu
