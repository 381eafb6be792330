#include "bindings/handle.h"

#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace brenvik::ffi {
namespace {

// Slots are allocated in chunks that live as long as the process, so a slot's
// address never changes and a lookup takes no lock.
constexpr uint32_t kChunkBits = 12;
constexpr uint32_t kChunkSize = 1u << kChunkBits;
constexpr uint32_t kMaxChunks = 4096;  // 16M live objects
constexpr uint64_t kCountMask = 0xFFFFFFFFull;
constexpr uint64_t kStuck = kCountMask;  // a count that reached it never moves

struct Slot {
  // Generation (high 32 bits) and reference count (low 32 bits), changed
  // together so that a stale handle can never add to a new object's count.
  std::atomic<uint64_t> word{0};
  std::atomic<HandleHeader*> object{nullptr};
};

struct Chunk {
  std::array<Slot, kChunkSize> slots;
};

class HandleTable {
 public:
  uint64_t add(HandleHeader* h) {
    std::unique_ptr<HandleHeader, void (*)(HandleHeader*)> owned(h, h->destroy);
    uint32_t index = take_free_index();
    Slot& s = *slot(index);
    uint32_t gen = static_cast<uint32_t>(s.word.load(std::memory_order_relaxed) >> 32);
    s.object.store(owned.release(), std::memory_order_relaxed);
    s.word.store((uint64_t(gen) << 32) | 1, std::memory_order_release);
    return (uint64_t(gen) << 32) | index;
  }

  // The slot of a handle whose generation still matches and whose count is
  // above zero; nullptr otherwise. `word` receives the slot word seen.
  Slot* live(uint64_t handle, uint64_t& word) const {
    Slot* s = slot_if_present(static_cast<uint32_t>(handle));
    if (!s) return nullptr;
    word = s->word.load(std::memory_order_acquire);
    if ((word >> 32) != (handle >> 32) || (word & kCountMask) == 0) return nullptr;
    return s;
  }

  void retire(uint32_t index, Slot& s, uint64_t word) {
    HandleHeader* h = s.object.exchange(nullptr, std::memory_order_acquire);
    uint32_t next_gen = static_cast<uint32_t>(word >> 32) + 1;
    s.word.store(uint64_t(next_gen) << 32, std::memory_order_release);
    h->destroy(h);
    // A slot whose generation wrapped around is never used again, so that no
    // handle ever names two objects.
    if (next_gen != 0) {
      std::lock_guard lock(mu_);
      free_.push_back(index);
    }
  }

 private:
  Slot* slot(uint32_t index) const {
    return &chunks_[index >> kChunkBits]
                .load(std::memory_order_acquire)
                ->slots[index & (kChunkSize - 1)];
  }
  Slot* slot_if_present(uint32_t index) const {
    uint32_t c = index >> kChunkBits;
    if (c >= kMaxChunks) return nullptr;
    Chunk* chunk = chunks_[c].load(std::memory_order_acquire);
    if (!chunk) return nullptr;
    return &chunk->slots[index & (kChunkSize - 1)];
  }

  uint32_t take_free_index() {
    std::lock_guard lock(mu_);
    if (free_.empty()) {
      if (chunk_count_ == kMaxChunks) throw std::length_error("object handle table is full");
      auto* chunk = new Chunk();
      // Generation 1 first, so that no handle is 0.
      for (auto& s : chunk->slots) s.word.store(uint64_t(1) << 32, std::memory_order_relaxed);
      uint32_t base = chunk_count_ << kChunkBits;
      chunks_[chunk_count_++].store(chunk, std::memory_order_release);
      for (uint32_t i = kChunkSize; i-- > 0;) free_.push_back(base + i);
    }
    uint32_t index = free_.back();
    free_.pop_back();
    return index;
  }

  mutable std::array<std::atomic<Chunk*>, kMaxChunks> chunks_{};
  std::mutex mu_;
  uint32_t chunk_count_ = 0;
  std::vector<uint32_t> free_;
};

HandleTable& table() {
  static HandleTable* t = new HandleTable();  // never destroyed: handles may outlive statics
  return *t;
}

[[noreturn]] void refuse(uint64_t handle) {
  throw std::invalid_argument(invalid_handle_message(handle));
}

}  // namespace

std::string invalid_handle_message(uint64_t handle) {
  if (handle == 0) return "null object handle";
  return "invalid object handle " + std::to_string(handle) +
         ": the object was freed, or the handle was never issued";
}

uint64_t handle_register(HandleHeader* h) {
  return table().add(h);
}

uint64_t handle_clone(uint64_t handle) {
  uint64_t w = 0;
  Slot* s = table().live(handle, w);
  if (!s) refuse(handle);
  while ((w & kCountMask) != kStuck) {
    if (s->word.compare_exchange_weak(w, w + 1, std::memory_order_relaxed)) return handle;
    if ((w >> 32) != (handle >> 32) || (w & kCountMask) == 0) refuse(handle);
  }
  return handle;
}

void handle_release(uint64_t handle) {
  uint64_t w = 0;
  Slot* s = table().live(handle, w);
  if (!s) refuse(handle);
  for (;;) {
    if ((w & kCountMask) == kStuck) return;
    if (s->word.compare_exchange_weak(w, w - 1, std::memory_order_acq_rel)) break;
    if ((w >> 32) != (handle >> 32) || (w & kCountMask) == 0) refuse(handle);
  }
  if ((w & kCountMask) == 1) table().retire(static_cast<uint32_t>(handle), *s, w);
}

HandleHeader* handle_resolve(uint64_t handle) {
  uint64_t w = 0;
  Slot* s = table().live(handle, w);
  if (!s) refuse(handle);
  return s->object.load(std::memory_order_acquire);
}

int64_t handle_count(uint64_t handle) {
  uint64_t w = 0;
  if (!table().live(handle, w)) refuse(handle);
  return static_cast<int64_t>(w & kCountMask);
}

}  // namespace brenvik::ffi
