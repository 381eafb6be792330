// MemKvStore: the key/value store as an ordered in-memory map of recent
// writes over immutable sorted tables.
//
// Layers are searched newest first: the map, then the tables from the last
// (newest) to the first. Tables come from imports or from the store's own
// export, which writes the whole store as one table and keeps only that.
#pragma once

#include <map>
#include <vector>

#include "kesu/kv_store/block.h"
#include "kesu/kv_store/kv_store.h"
#include "kesu/kv_store/sstable.h"

namespace kesu {

struct MemKvStoreOptions {
  size_t block_size = 4096;  // target size of exported blocks
  CompressionType compression_type = CompressionType::LZ4;
  bool should_encode_none = false;  // write deletion markers on export
  // Bound on the decoded size of an LZ4 large block read at import; larger
  // values are written plain.
  size_t max_lz4_large_value = kDefaultMaxLz4LargeValue;
};

class MemKvStore final : public KvStore {
 public:
  using MemTable = std::map<SharedBytes, SharedBytes, BytesLess>;

  explicit MemKvStore(MemKvStoreOptions options = {}) : options_(options) {}
  MemKvStore(size_t block_size, CompressionType compression, bool should_encode_none)
      : options_{block_size, compression, should_encode_none, kDefaultMaxLz4LargeValue} {}

  std::string fmt() const override;
  std::optional<SharedBytes> get(ByteView key) const override;
  bool set(const SharedBytes& key, const SharedBytes& value) override;
  bool compare_and_swap(const SharedBytes& key, const std::optional<SharedBytes>& expected,
                        const SharedBytes& value) override;
  std::optional<SharedBytes> remove(const SharedBytes& key) override;
  bool contains_key(ByteView key) const override;
  std::unique_ptr<KvIterator> scan(const KeyBound& start, const KeyBound& end) const override;
  size_t len() const override;
  bool is_empty() const override;
  size_t size() const override;
  SharedBytes export_all() override;
  brenvik::Result<void, std::string> import_all(const SharedBytes& bytes) override;
  brenvik::Result<void, std::string> import_all_unverified(const SharedBytes& bytes) override;
  KvWrapper clone_store() const override;

  // Inspection for tests and diagnostics.
  const MemTable& mem_table() const { return mem_table_; }
  const std::vector<SsTablePtr>& tables() const { return tables_; }
  const MemKvStoreOptions& options() const { return options_; }

 private:
  brenvik::Result<void, std::string> import(const SharedBytes& bytes, bool verify);
  void export_with_encoded_block(SsTableBuilder& builder) const;
  void export_merged(SsTableBuilder& builder) const;

  MemTable mem_table_;
  std::vector<SsTablePtr> tables_;  // oldest first
  MemKvStoreOptions options_;
};

}  // namespace kesu
