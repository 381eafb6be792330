// KesuValue: the engine's value. Strings, byte strings, lists and maps are
// reference-counted blocks shared by copies, so copying a value (or a whole
// document's deep value) never copies payload content; a value that changes
// a shared block first takes a private copy of it.
//
// Decoders build values by the million, so values are laid out to cost few
// allocations: a text or byte string of up to kInlineBytes bytes is held in
// the value itself (copying it copies those bytes, which costs no more than
// the reference-count update it replaces), a longer one is one block holding
// its count and bytes, a list or map block holds its first elements itself,
// and a map keeps its entries in insertion order (with a hash index only once
// it is large) instead of a node per entry. Blocks come from a per-thread
// cache of recently freed blocks (block_pool.h).
//
// Values decoded from peers can nest as deep as the input allows, so every
// walk over a value here (equality, hashing, release) uses an explicit stack
// rather than recursion.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kesu/common/block_vector.h"
#include "kesu/common/container_id.h"

namespace kesu {

class KesuValue;
class KesuMap;
struct KesuBinaryValue;
struct KesuStringValue;
struct KesuListValue;
struct KesuMapValue;

using KesuList = BlockVector<KesuValue>;

enum class ValueType : uint8_t { Null, Bool, Double, I64, Binary, String, List, Map, Container };

// The reference count that every payload block starts with. Counts are
// atomic: values are shared between a document and the threads that read
// its deep value. Every reference is a live KesuValue of 24 bytes, so a count
// could only wrap after 96 GiB of copies: 32 bits leave room for the block's
// allocation class beside it.
struct KesuBlock {
  mutable std::atomic<uint32_t> refs{1};
  // The block's size class in the block pool (0: allocated outside it).
  uint32_t pool_class = 0;
  KesuBlock() = default;
  KesuBlock(const KesuBlock&) = delete;
  KesuBlock& operator=(const KesuBlock&) = delete;
  bool unique() const { return refs.load(std::memory_order_acquire) == 1; }
};

class KesuValue {
 public:
  // Texts and byte strings up to this many bytes live inside the value.
  static constexpr size_t kInlineBytes = 21;

  KesuValue() {}                                            // Null
  KesuValue(std::nullptr_t) {}                              // NOLINT
  KesuValue(bool b) : type_(ValueType::Bool) { u_.b = b; }  // NOLINT
  // A text literal would otherwise silently become Bool; use string().
  KesuValue(const char*) = delete;
  KesuValue(double d) : type_(ValueType::Double) { u_.d = d; }  // NOLINT
  KesuValue(int64_t i) : type_(ValueType::I64) { u_.i = i; }    // NOLINT
  KesuValue(int i) : type_(ValueType::I64) { u_.i = i; }        // NOLINT
  // A container id is held in a shared block: it is as large as a whole
  // value otherwise, and values of other kinds are far more common.
  KesuValue(ContainerID id);  // NOLINT
  KesuValue(const KesuValue& o) { copy_from(o); }
  KesuValue(KesuValue&& o) noexcept { move_from(o); }
  KesuValue& operator=(const KesuValue& o) {
    if (this != &o) {
      KesuValue tmp(o);
      *this = std::move(tmp);
    }
    return *this;
  }
  KesuValue& operator=(KesuValue&& o) noexcept {
    if (this != &o) {
      reset();
      move_from(o);
    }
    return *this;
  }
  ~KesuValue() { reset(); }

  // Copies the bytes: into the value itself up to kInlineBytes, into one
  // block holding count and bytes above.
  static KesuValue binary(const Bytes& b) { return binary_of(b); }
  static KesuValue binary_of(ByteView b);
  static KesuValue string(std::string_view s);
  static KesuValue list(KesuList items);
  static KesuValue map(KesuMap entries);
  // An empty list or map whose block has room for `room` elements in the
  // same allocation (for readers that know the count); it grows past them
  // like any other.
  static KesuValue list_with_room(size_t room);
  static KesuValue map_with_room(size_t room);
  // Inserts in order; a later pair with a key already present replaces it.
  static KesuValue map_from_pairs(std::vector<std::pair<std::string, KesuValue>> pairs);

  ValueType type() const { return type_; }
  bool is_null() const { return type_ == ValueType::Null; }

  // Accessors require the matching type (a mismatch is a bug of the caller
  // and throws InternalError). The views of binary and string payloads live
  // as long as this value stays unchanged and in place (a short payload is
  // held by the value itself, so a view must not outlive the value it was
  // taken from, even when a copy of it lives on).
  bool as_bool() const {
    expect(ValueType::Bool);
    return u_.b;
  }
  double as_double() const {
    expect(ValueType::Double);
    return u_.d;
  }
  int64_t as_i64() const {
    expect(ValueType::I64);
    return u_.i;
  }
  ByteView as_binary() const;
  std::string_view as_string() const;
  const KesuList& as_list() const;
  const KesuMap& as_map() const;
  const ContainerID& as_container() const;

  // Mutable access to a shared payload: changed in place when this value
  // holds the only reference, otherwise copied into a new block first.
  KesuList& list_mut();
  KesuMap& map_mut();
  // Moves the content out when this value holds the only reference, copies
  // it otherwise; the value becomes Null.
  KesuList take_list();
  KesuMap take_map();
  std::string take_string();
  Bytes take_binary();

  // Asks the processor to start loading the value's block (and the first
  // elements of a list or map, which follow it); walks over large values
  // call it a few siblings ahead so that their loads overlap.
  void prefetch() const {
    if (heap_) {
      __builtin_prefetch(u_.p);
      __builtin_prefetch(reinterpret_cast<const char*>(u_.p) + 64);
    }
  }

  // The shared block's address, or null (for prefetching).
  const void* block_address() const { return heap_ ? u_.p : nullptr; }

  // True when both hold the same shared block (never for payloads held
  // inside the values).
  bool same_block(const KesuValue& o) const {
    return type_ == o.type_ && heap_ && o.heap_ && u_.p == o.u_.p;
  }
  // True when the value's payload is a shared block.
  bool holds_block() const { return heap_; }

  bool operator==(const KesuValue& o) const;
  // Variant name and payload, e.g. List(KesuListValue([I64(1)])).
  std::string debug() const;

 private:
  void expect(ValueType t) const {
    if (type_ != t) [[unlikely]]
      wrong_type(t);
  }
  [[noreturn]] void wrong_type(ValueType wanted) const;
  template <typename B>
  static KesuValue with_bytes(ValueType type, const void* data, size_t n);
  // Every kind is a plain copy of the representation (scalars and inline
  // payloads are held in it, everything else is a block reference), so
  // copies and moves cost a 24-byte copy and, for a block, one count update.
  // Requires this value to be Null (freshly built or reset).
  void copy_from(const KesuValue& o) {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&o), sizeof(KesuValue));
    if (heap_) u_.p->refs.fetch_add(1, std::memory_order_relaxed);
  }
  // Requires this value to be Null; leaves `o` Null.
  void move_from(KesuValue& o) noexcept {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&o), sizeof(KesuValue));
    o.type_ = ValueType::Null;
    o.heap_ = false;
  }
  void reset() {
    if (heap_) {
      // A count of one is this value's own reference: no other thread can
      // take a new one, so the block is freed without the atomic update.
      if (u_.p->refs.load(std::memory_order_acquire) == 1 ||
          u_.p->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        release_block();
      heap_ = false;
    }
    type_ = ValueType::Null;
  }
  // Frees the block whose last reference this value held.
  void release_block();
  static void release_tree(KesuBlock* root, ValueType root_type);
  // The payload of a String or Binary held inline (not heap_): the bytes
  // after the three header bytes, running on into the payload word.
  const char* inline_data() const { return reinterpret_cast<const char*>(this) + kInlineOffset; }
  char* inline_data() { return reinterpret_cast<char*>(this) + kInlineOffset; }

  union Payload {
    bool b;
    double d;
    int64_t i;
    KesuBlock* p;
    unsigned char tail[16];  // the end of an inline payload
  };

  ValueType type_ = ValueType::Null;
  bool heap_ = false;        // u_.p is a block holding one of this value's references
  uint8_t small_ = 0;        // the length of a String or Binary held inline
  unsigned char head_[5]{};  // the start of an inline payload
  Payload u_{};
  static constexpr size_t kInlineOffset = 3;
};
static_assert(sizeof(KesuValue) == 24);
static_assert(KesuValue::kInlineBytes == sizeof(KesuValue) - 3);

// A map value's entries: keys held once each, iterated in insertion order.
// Lookups scan the entries while the map is small and use an open-addressing
// index of entry positions once it grows; erasing keeps the order of the
// remaining entries. Inserting may move entries (like a vector), so
// references into a map do not survive an insertion.
class KesuMap {
 public:
  using value_type = std::pair<std::string, KesuValue>;
  using iterator = value_type*;
  using const_iterator = const value_type*;

  KesuMap() = default;
  // Inserts in order; a later duplicate key replaces the earlier value.
  KesuMap(std::initializer_list<value_type> init);

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  void reserve(size_t n) { entries_.reserve(n); }
  void clear() {
    entries_.clear();
    index_.clear();
  }

  iterator find(std::string_view key) { return entries_.begin() + position(key); }
  const_iterator find(std::string_view key) const { return entries_.begin() + position(key); }
  bool contains(std::string_view key) const { return position(key) != entries_.size(); }
  size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
  // The value of a key; the key must be present.
  const KesuValue& at(std::string_view key) const { return find(key)->second; }

  // The value of the key, inserted as Null when absent.
  KesuValue& operator[](std::string_view key);
  // Inserts or replaces; the bool is true when the key was new.
  std::pair<iterator, bool> insert_or_assign(std::string key, KesuValue v);
  // Like insert_or_assign; the key is copied only when it is new.
  void put(std::string_view key, KesuValue v);
  // Inserts when absent; an existing value is left as it is.
  std::pair<iterator, bool> emplace(std::string key, KesuValue v);
  std::pair<iterator, bool> try_emplace(std::string key, KesuValue v) {
    return emplace(std::move(key), std::move(v));
  }
  // Removes the key; returns how many entries were removed (0 or 1).
  size_t erase(std::string_view key);
  iterator erase(const_iterator it);

 private:
  friend class KesuValue;
  // Starts the empty map on room owned by its block (see BlockVector).
  void start_on(value_type* room, size_t cap) {
    index_.clear();
    entries_.start_on(room, cap);
  }
  // Entries up to this count are found by scanning.
  static constexpr size_t kScanLimit = 8;

  // The entry position of the key, or size() when absent.
  size_t position(std::string_view key) const;
  // Appends an entry whose key is known to be absent.
  iterator append(std::string key, KesuValue v);
  // Appends a Null entry for a key known to be absent.
  iterator append_null(std::string_view key);
  // Keeps the lookup index in step with an entry just appended.
  void appended();
  void rebuild_index();
  void index_insert(size_t pos);

  // The slots of the lookup index in one allocation behind one pointer (the
  // slot count first), so that a small map, which has none, carries eight
  // bytes for it.
  class SlotIndex {
   public:
    SlotIndex() = default;
    SlotIndex(const SlotIndex& o) {
      if (o.p_) {
        p_ = new uint32_t[o.p_[0] + 1];
        std::memcpy(p_, o.p_, (o.p_[0] + 1) * sizeof(uint32_t));
      }
    }
    SlotIndex(SlotIndex&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    SlotIndex& operator=(SlotIndex o) noexcept {
      std::swap(p_, o.p_);
      return *this;
    }
    ~SlotIndex() { delete[] p_; }
    bool empty() const { return p_ == nullptr; }
    size_t size() const { return p_ ? p_[0] : 0; }
    void clear() {
      delete[] p_;
      p_ = nullptr;
    }
    // n empty slots.
    void assign(size_t n) {
      clear();
      p_ = new uint32_t[n + 1]();
      p_[0] = uint32_t(n);
    }
    uint32_t& operator[](size_t i) { return p_[i + 1]; }
    uint32_t operator[](size_t i) const { return p_[i + 1]; }

   private:
    uint32_t* p_ = nullptr;
  };

  BlockVector<value_type> entries_;
  // Open addressing, a power of two at least twice the entry count: entry
  // position + 1, or 0 for an empty slot. Empty while the map is small.
  SlotIndex index_;
};

static_assert(sizeof(KesuList) == 16 && sizeof(KesuMap) == 24);

// A text or byte string payload: the count and the bytes in one allocation.
struct KesuBinaryValue : KesuBlock {
  size_t size = 0;
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  ByteView bytes() const { return ByteView(data(), size); }
};
struct KesuStringValue : KesuBlock {
  size_t size = 0;
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  std::string_view text() const { return std::string_view(data(), size); }
};
// List and map blocks are taken apart by KesuValue::release_tree, which
// releases their nested lists and maps without recursion before it
// destroys them.
struct KesuListValue : KesuBlock {
  KesuList items;
};
struct KesuMapValue : KesuBlock {
  KesuMap entries;
};

// Inline: the byte codecs call these once per value they walk.
inline ByteView KesuValue::as_binary() const {
  expect(ValueType::Binary);
  if (!heap_) return ByteView(reinterpret_cast<const uint8_t*>(inline_data()), small_);
  return static_cast<const KesuBinaryValue*>(u_.p)->bytes();
}
inline std::string_view KesuValue::as_string() const {
  expect(ValueType::String);
  if (!heap_) return std::string_view(inline_data(), small_);
  return static_cast<const KesuStringValue*>(u_.p)->text();
}
inline const KesuList& KesuValue::as_list() const {
  expect(ValueType::List);
  return static_cast<const KesuListValue*>(u_.p)->items;
}
// A Container value's block.
struct KesuContainerValue : KesuBlock {
  ContainerID id;
  explicit KesuContainerValue(ContainerID i) : id(std::move(i)) {}
};
inline const ContainerID& KesuValue::as_container() const {
  expect(ValueType::Container);
  return static_cast<const KesuContainerValue*>(u_.p)->id;
}
inline const KesuMap& KesuValue::as_map() const {
  expect(ValueType::Map);
  return static_cast<const KesuMapValue*>(u_.p)->entries;
}

// Hash consistent with equality: NaNs hash alike, both zeros alike, map
// entries in sorted key order.
size_t hash_value(const KesuValue& v);

// The value an empty container of the type reads as; nullopt for Unknown.
std::optional<KesuValue> default_value(ContainerType t);

// A map entry's value, with a mergeable marker for (parent, key) turned into
// the Container value of the mergeable child; other values unchanged.
KesuValue resolve_mergeable_value(const ContainerID& parent, std::string_view key, KesuValue value);

// Appends the text as a JSON string literal: \" \\ \b \t \n \f \r, other
// bytes below 0x20 as \u00xx, every other byte (including '/', 0x7F and
// multi-byte UTF-8) unchanged.
void write_json_escaped_str(std::string& out, std::string_view s);

}  // namespace kesu

template <>
struct std::hash<kesu::KesuValue> {
  size_t operator()(const kesu::KesuValue& v) const { return kesu::hash_value(v); }
};
