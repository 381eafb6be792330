#include "kesu/arena/arena.h"

#include <cstdio>
#include <new>
#include <vector>

// Under the address sanitizer a kept segment is poisoned until it is handed
// out again, so that a use after release is still caught.
#if defined(__SANITIZE_ADDRESS__)
#define KESU_ARENA_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESU_ARENA_ASAN 1
#endif
#endif
#ifdef KESU_ARENA_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kesu {

namespace arena_detail {

namespace {

#ifdef KESU_ARENA_ASAN
void poison(void* p, size_t bytes) {
  __asan_poison_memory_region(p, bytes);
}
void unpoison(void* p, size_t bytes) {
  __asan_unpoison_memory_region(p, bytes);
}
#else
void poison(void*, size_t) {}
void unpoison(void*, size_t) {}
#endif

// Smaller segments come cheaply from the general allocator's own free lists;
// only large ones, whose pages the allocator hands back to the system, are kept.
constexpr size_t kMinCachedSegment = size_t{64} << 10;

// Set when the thread's cache has been destroyed (thread exit), so that an
// arena released later frees its segments directly.
thread_local bool tl_cache_gone = false;

struct SegmentCache {
  struct Block {
    void* p;
    size_t bytes;
  };
  std::vector<Block> blocks;  // most recently released last
  size_t held = 0;

  SegmentCache() = default;
  SegmentCache(const SegmentCache&) = delete;
  SegmentCache& operator=(const SegmentCache&) = delete;
  ~SegmentCache() {
    tl_cache_gone = true;
    for (const Block& b : blocks) {
      unpoison(b.p, b.bytes);
      ::operator delete(b.p);
    }
  }
};

SegmentCache& cache() {
  thread_local SegmentCache c;
  return c;
}

bool cacheable(size_t bytes) {
  return bytes >= kMinCachedSegment && !tl_cache_gone;
}

}  // namespace

void* segment_alloc(size_t bytes) {
  if (cacheable(bytes)) {
    SegmentCache& c = cache();
    for (size_t i = c.blocks.size(); i-- > 0;) {
      if (c.blocks[i].bytes != bytes) continue;
      void* p = c.blocks[i].p;
      c.blocks.erase(c.blocks.begin() + ptrdiff_t(i));
      c.held -= bytes;
      unpoison(p, bytes);
      return p;
    }
  }
  return ::operator new(bytes);
}

void segment_free(void* p, size_t bytes) noexcept {
  if (cacheable(bytes) && bytes <= kSegmentCacheBytes) {
    SegmentCache& c = cache();
    // The oldest blocks make room: a cache that kept them would stay full
    // of sizes no arena asks for any more, and every large arena after
    // that would get fresh pages from the system again.
    size_t drop = 0;
    while (c.held + bytes > kSegmentCacheBytes) {
      const SegmentCache::Block& old = c.blocks[drop++];
      c.held -= old.bytes;
      unpoison(old.p, old.bytes);
      ::operator delete(old.p);
    }
    c.blocks.erase(c.blocks.begin(), c.blocks.begin() + ptrdiff_t(drop));
    {
      try {
        c.blocks.push_back({p, bytes});
        c.held += bytes;
        poison(p, bytes);
        return;
      } catch (const std::bad_alloc&) {
        // no room to remember it: free it below
      }
    }
  }
  ::operator delete(p);
}

size_t segment_cache_bytes() noexcept {
  return tl_cache_gone ? 0 : cache().held;
}

}  // namespace arena_detail

std::string debug_string(const ArenaSlotIndex& index, bool hex) {
  char buf[96];
  if (hex) {
    std::snprintf(buf, sizeof buf, "Index { slot: %x, generation: Generation(%u) }", index.slot,
                  index.generation);
  } else {
    std::snprintf(buf, sizeof buf, "Index { slot: %u, generation: Generation(%u) }", index.slot,
                  index.generation);
  }
  return buf;
}

}  // namespace kesu
