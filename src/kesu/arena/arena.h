// Arena<T>: a generational slot arena.
//
// Values live at stable slots and are named by small copyable handles
// (`ArenaSlotIndex`). A removed value's slot is reused by a later insertion
// under a new generation, so a handle kept from before the removal looks up
// nothing. Freed slots are reused last-freed first.
//
// Storage is a list of segments: doubling sizes (16, 32, ... 4096 entries) so
// that small arenas stay small, then fixed segments of 4096 entries so that a
// large arena wastes at most one partly used segment. Segments are never
// reallocated, so a value never moves in memory while it
// lives in the arena: a reference returned by `get` stays valid until that
// value is removed, even across later insertions. That is what lets the B-tree
// hold a node and allocate its sibling at the same time.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "kesu/arena/invariant.h"

namespace kesu {

namespace arena_detail {
// Raw storage of `bytes` bytes for one segment, aligned for any fundamental
// type: a released segment of the same size when the calling thread holds
// one, fresh memory otherwise.
void* segment_alloc(size_t bytes);
// Gives a segment back. The calling thread keeps it for reuse while its cache
// holds less than kSegmentCacheBytes; otherwise the memory is freed.
void segment_free(void* p, size_t bytes) noexcept;
// Upper bound of the memory one thread keeps for reuse.
inline constexpr size_t kSegmentCacheBytes = size_t{16} << 20;
// Bytes the calling thread currently keeps (for tests and accounting).
size_t segment_cache_bytes() noexcept;
}  // namespace arena_detail

// Generation of a slot: never 0; after UINT32_MAX it wraps to 1.
using Generation = uint32_t;

inline constexpr Generation next_generation(Generation g) {
  return g == UINT32_MAX ? 1 : g + 1;
}

// Handle of a value in an Arena. Plain value; copying it does not touch the arena.
struct ArenaSlotIndex {
  uint32_t slot = 0;
  Generation generation = 0;

  friend bool operator==(const ArenaSlotIndex&, const ArenaSlotIndex&) = default;
  friend auto operator<=>(const ArenaSlotIndex&, const ArenaSlotIndex&) = default;
};

// Debug form: `Index { slot: 3, generation: Generation(1) }`; with `hex` the
// slot is printed in lower-case hexadecimal.
std::string debug_string(const ArenaSlotIndex& index, bool hex = false);

template <typename T>
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  Arena(Arena&& other) noexcept { swap(other); }
  Arena& operator=(Arena&& other) noexcept {
    if (this != &other) {
      Arena tmp(std::move(other));
      swap(tmp);
    }
    return *this;
  }
  ~Arena() { clear_storage(); }

  // Moves `value` into the arena and returns its handle.
  ArenaSlotIndex insert(T value) {
    if (len_ == UINT32_MAX)
      invariant_failed("Cannot insert more than u32::MAX elements into Arena");
    ++len_;
    if (first_free_ != 0) {
      uint64_t slot = first_free_ - 1;
      if (slot >= size_) {
        invariant_unreachable("first_free pointed past the end of the arena's storage");
      }
      Entry& e = entry(slot);
      if (e.generation != 0) invariant_unreachable("first_free pointed to an occupied entry");
      first_free_ = e.word;
      Generation g = next_generation(e.kept);
      ::new (static_cast<void*>(&e.value)) T(std::move(value));
      e.generation = g;
      e.word = 0;
      return {static_cast<uint32_t>(slot), g};
    }
    uint64_t slot = size_;
    if (slot > UINT32_MAX) {
      invariant_unreachable("Arena storage exceeded what can be represented by a u32");
    }
    Entry& e = append_entry();
    ::new (static_cast<void*>(&e.value)) T(std::move(value));
    e.generation = 1;
    e.word = 0;
    return {static_cast<uint32_t>(slot), 1};
  }

  // Moves the value out and frees its slot; nothing for a stale or foreign handle.
  std::optional<T> remove(ArenaSlotIndex index) {
    if (index.slot >= size_) return std::nullopt;
    Entry& e = entry(index.slot);
    if (!live(e, index.generation)) return std::nullopt;
    std::optional<T> out(std::move(e.value));
    vacate(e, index.slot);
    return out;
  }

  // Frees the slot and drops the value in place; false for a stale handle.
  bool erase(ArenaSlotIndex index) {
    if (index.slot >= size_) return false;
    Entry& e = entry(index.slot);
    if (!live(e, index.generation)) return false;
    vacate(e, index.slot);
    return true;
  }

  // The value, or nullptr for a stale or foreign handle. The pointer lives until
  // the value is removed.
  T* get(ArenaSlotIndex index) {
    if (index.slot >= size_) return nullptr;
    Entry& e = entry(index.slot);
    return live(e, index.generation) ? &e.value : nullptr;
  }
  const T* get(ArenaSlotIndex index) const { return const_cast<Arena*>(this)->get(index); }
  T* get_mut(ArenaSlotIndex index) { return get(index); }
  bool contains(ArenaSlotIndex index) const { return get(index) != nullptr; }

  // Two values at once. Equal handles are a fatal stop; two handles of one slot
  // give the live one on its side and nothing on the other.
  std::pair<T*, T*> get2_mut(ArenaSlotIndex a, ArenaSlotIndex b) {
    if (a == b) invariant_failed("Arena::get2_mut is called with two identical indices");
    if (a.slot == b.slot) {
      if (T* va = get(a)) return {va, nullptr};
      return {nullptr, get(b)};
    }
    uint64_t mid = a.slot > b.slot ? a.slot : b.slot;
    if (mid > size_) invariant_failed("mid > len");
    return {get(a), get(b)};
  }

  // A spare 32-bit word stored beside each occupied value, for the owner's
  // use (the B-tree keeps a leaf's parent link there, where it costs no
  // padding). It reads 0 after insertion. Addressed by slot: the caller
  // knows the entry is occupied; a vacant or missing slot is a fatal stop.
  uint32_t& word_at(uint32_t slot) { return occupied_entry(slot).word; }
  uint32_t word_at(uint32_t slot) const {
    return const_cast<Arena*>(this)->occupied_entry(slot).word;
  }
  // The value at an occupied slot; fatal for a vacant or missing one.
  T& value_at(uint32_t slot) { return occupied_entry(slot).value; }
  const T& value_at(uint32_t slot) const {
    return const_cast<Arena*>(this)->occupied_entry(slot).value;
  }
  // The handle of the value at `slot`, or none when the slot is vacant or missing.
  std::optional<ArenaSlotIndex> try_handle_at(uint32_t slot) const {
    if (slot >= size_) return std::nullopt;
    const Entry& e = const_cast<Arena*>(this)->entry(slot);
    if (e.generation == 0) return std::nullopt;
    return ArenaSlotIndex{slot, e.generation};
  }
  // The handle of the value now at an occupied slot; fatal for a vacant one.
  ArenaSlotIndex handle_at(uint32_t slot) const {
    return {slot, const_cast<Arena*>(this)->occupied_entry(slot).generation};
  }

  // Asks the processor to start loading the entry at `slot` (its first
  // `lines` cache lines) without waiting for it; nothing for a slot past the
  // end. Walks over entries scattered in memory issue this a few steps ahead
  // so that several loads are in flight at once.
  void prefetch(uint32_t slot, size_t lines = 1) const {
    if (slot >= size_) return;
    const char* p = reinterpret_cast<const char*>(&const_cast<Arena*>(this)->entry(slot));
    size_t n = std::min(lines, (sizeof(Entry) + 63) / 64);
    for (size_t i = 0; i < n; ++i) {
      __builtin_prefetch(p + 64 * i);
      // A prefetch has no effect the compiler can see: a function made only
      // of prefetches is judged pure and its calls removed. The empty
      // statement marks it as having one.
      asm volatile("" : : "r"(p));
    }
    // An entry not aligned to a line ends in one line more than its size
    // needs: asking for more lines than the size needs includes that one.
    if (lines > n) {
      __builtin_prefetch(p + sizeof(Entry) - 1);
      asm volatile("" : : "r"(p));
    }
  }

  // Number of occupied entries.
  uint32_t len() const { return len_; }
  bool empty() const { return len_ == 0; }
  // Number of entries ever appended (occupied or free).
  uint64_t storage_len() const { return size_; }
  // Bytes held by the storage segments (for memory accounting).
  size_t allocated_bytes() const {
    size_t total = 0;
    for (size_t k = 0; k < segments_.size(); ++k) total += segment_capacity(k) * sizeof(Entry);
    return total;
  }

  // Calls f(handle, value) for every occupied entry in slot order.
  template <typename F>
  void for_each(F&& f) const {
    for (uint64_t s = 0; s < size_; ++s) {
      const Entry& e = const_cast<Arena*>(this)->entry(s);
      if (e.generation != 0) f(ArenaSlotIndex{static_cast<uint32_t>(s), e.generation}, e.value);
    }
  }

 private:
  static constexpr uint64_t kFirstSegment = 16;
  static constexpr size_t kDoublings = 9;  // segments of 16 << k entries, k < 9
  static constexpr uint64_t kFixedSegment = kFirstSegment << (kDoublings - 1);  // 4096
  static constexpr uint64_t kDoublingSlots = kFirstSegment * ((uint64_t{1} << kDoublings) - 1);

  // An occupied entry holds its generation, the owner's word and the value.
  // A vacant one holds 0 in place of the generation (a live generation is
  // never 0), the next free slot + 1 (0 = none) in the word, and keeps the
  // generation of the value that left in the value's storage.
  struct Entry {
    Generation generation;
    uint32_t word;
    union {
      T value;
      Generation kept;
    };
    Entry() {}
    ~Entry() {}
  };

  static bool live(const Entry& e, Generation g) { return e.generation != 0 && e.generation == g; }

  void vacate(Entry& e, uint32_t slot) {
    if (slot == UINT32_MAX) invariant_failed("u32 overflowed calculating free pointer from u32");
    Generation g = e.generation;
    e.value.~T();
    e.kept = g;
    e.generation = 0;
    e.word = first_free_;
    first_free_ = slot + 1;
    if (len_ == 0) invariant_failed(kMsgUnreachable);
    --len_;
  }

  static size_t segment_capacity(size_t k) {
    return k < kDoublings ? size_t(kFirstSegment << k) : size_t(kFixedSegment);
  }
  static std::pair<size_t, size_t> locate(uint64_t slot) {
    if (slot < kDoublingSlots) {
      uint64_t v = slot + kFirstSegment;
      size_t k = std::bit_width(v) - 5;
      return {k, static_cast<size_t>(v - (kFirstSegment << k))};
    }
    uint64_t rest = slot - kDoublingSlots;
    return {kDoublings + static_cast<size_t>(rest / kFixedSegment),
            static_cast<size_t>(rest % kFixedSegment)};
  }

  static_assert(alignof(Entry) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

  Entry& entry(uint64_t slot) {
    auto [k, off] = locate(slot);
    return segments_[k][off];
  }
  Entry& occupied_entry(uint32_t slot) {
    if (slot >= size_) invariant_failed(kMsgUnwrapNone);
    Entry& e = entry(slot);
    if (e.generation == 0) invariant_failed(kMsgUnwrapNone);
    return e;
  }

  Entry& append_entry() {
    auto [k, off] = locate(size_);
    if (k == segments_.size()) {
      size_t cap = segment_capacity(k);
      segments_.reserve(k + 1);
      auto* seg = static_cast<Entry*>(arena_detail::segment_alloc(cap * sizeof(Entry)));
      for (size_t i = 0; i < cap; ++i) ::new (static_cast<void*>(seg + i)) Entry();
      segments_.push_back(seg);
    }
    ++size_;
    return segments_[k][off];
  }

  void clear_storage() {
    // Values that need no destructor are not visited: releasing a large
    // arena would otherwise read every entry back from memory only to find
    // nothing to do.
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (uint64_t s = 0; s < size_; ++s) {
        Entry& e = entry(s);
        if (e.generation != 0) e.value.~T();
      }
    }
    for (size_t k = 0; k < segments_.size(); ++k) {
      size_t cap = segment_capacity(k);
      for (size_t i = 0; i < cap; ++i) segments_[k][i].~Entry();
      arena_detail::segment_free(segments_[k], cap * sizeof(Entry));
    }
    segments_.clear();
    size_ = 0;
    len_ = 0;
    first_free_ = 0;
  }

  void swap(Arena& o) noexcept {
    std::swap(segments_, o.segments_);
    std::swap(size_, o.size_);
    std::swap(len_, o.len_);
    std::swap(first_free_, o.first_free_);
  }

  std::vector<Entry*> segments_;  // owned; released through clear_storage
  uint64_t size_ = 0;             // entries appended so far
  uint32_t len_ = 0;              // occupied entries
  uint32_t first_free_ = 0;       // slot + 1 of the most recently freed entry, 0 = none
};

}  // namespace kesu
