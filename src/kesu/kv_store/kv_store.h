// KvStore: the ordered key/value store of shared byte strings.
//
// Keys order by unsigned bytes. An empty value is a deletion marker, the empty
// key is never present, and the newest layer holding a key decides. The store
// is not synchronised: users reach it through a locked handle (KvWrapper).
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "kesu/kv_store/key_bound.h"
#include "kesu/kv_store/shared_bytes.h"
#include "util/result.h"

namespace kesu {

class KvWrapper;

// Double-ended iterator over live (key, value) pairs, ascending from the
// front and descending from the back; the ends stop where they meet.
class KvIterator {
 public:
  virtual ~KvIterator() = default;
  virtual std::optional<KvPair> next() = 0;
  virtual std::optional<KvPair> next_back() = 0;
};

class KvStore {
 public:
  virtual ~KvStore() = default;

  // Debug text.
  virtual std::string fmt() const = 0;
  // The live value of the key, sharing the stored bytes; nothing when absent
  // or deleted.
  virtual std::optional<SharedBytes> get(ByteView key) const = 0;
  // Stores the pair; an empty value is a deletion marker. An empty key, or a
  // key longer than 65,535 bytes (which no table can hold), is refused and
  // nothing changes; returns whether the pair was stored.
  virtual bool set(const SharedBytes& key, const SharedBytes& value) = 0;
  // Sets the key to `value` when its live value equals `expected` (nothing =
  // absent or deleted); returns whether it did.
  virtual bool compare_and_swap(const SharedBytes& key, const std::optional<SharedBytes>& expected,
                                const SharedBytes& value) = 0;
  // Deletes the key and returns the value that was live before, if any.
  virtual std::optional<SharedBytes> remove(const SharedBytes& key) = 0;
  virtual bool contains_key(ByteView key) const = 0;
  // Live pairs within the bounds. The iterator reads the store, which must not
  // change while it lives.
  virtual std::unique_ptr<KvIterator> scan(const KeyBound& start, const KeyBound& end) const = 0;
  // Number of live pairs (walks the whole store).
  virtual size_t len() const = 0;
  virtual bool is_empty() const = 0;
  // Estimate of memory and file size: key + value lengths of the in-memory
  // entries (deletion markers count their key) plus every table's file length.
  virtual size_t size() const = 0;
  // The whole store as one sorted-table file (empty when there is nothing to
  // write); compacts the store to that table.
  virtual SharedBytes export_all() = 0;
  // Adds a table file as the newest layer; empty bytes succeed and change
  // nothing. On failure nothing changes and the error's display text is
  // returned.
  virtual brenvik::Result<void, std::string> import_all(const SharedBytes& bytes) = 0;
  // As import_all, without checking block checksums.
  virtual brenvik::Result<void, std::string> import_all_unverified(const SharedBytes& bytes) = 0;
  // An independent deep copy behind its own lock.
  virtual KvWrapper clone_store() const = 0;
};

}  // namespace kesu
