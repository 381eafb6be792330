#include "kesu/common/block_pool.h"

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KESU_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KESU_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KESU_POISON(p, n) ((void)(p), (void)(n))
#define KESU_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kesu::block_pool {

namespace {

constexpr size_t kClasses = kMaxBlock / kGranule;

struct FreeBlock {
  FreeBlock* next;
};

// Trivially destructible, so that it stays usable while other thread-local
// objects are destroyed at thread exit (values they hold still free blocks);
// once `closed` is set, blocks go straight back to the global allocator.
struct Lists {
  FreeBlock* head[kClasses + 1];
  FreeBlock* tail[kClasses + 1];
  size_t cached_bytes;
  bool registered;
  bool closed;
};
thread_local Lists lists;

// Empties the thread's lists when the thread exits.
struct Closer {
  ~Closer() {
    for (size_t c = 1; c <= kClasses; ++c) {
      while (FreeBlock* b = lists.head[c]) {
        KESU_UNPOISON(b, c * kGranule);
        lists.head[c] = b->next;
        ::operator delete(b);
      }
      lists.tail[c] = nullptr;
    }
    lists.cached_bytes = 0;
    lists.closed = true;
  }
  void touch() {}
};
thread_local Closer closer;

}  // namespace

void* acquire(size_t n, uint32_t* cls) {
  if (n > kMaxBlock || n == 0) {
    *cls = 0;
    return ::operator new(n);
  }
  size_t c = (n + kGranule - 1) / kGranule;
  *cls = uint32_t(c);
  FreeBlock* b = lists.head[c];
  if (b) {
    KESU_UNPOISON(b, sizeof(FreeBlock));
    lists.head[c] = b->next;
    if (b->next)
      // Kept blocks were freed a while ago and are rarely still in the
      // cache: start loading the one this class hands out next.
      __builtin_prefetch(b->next, 1);
    else
      lists.tail[c] = nullptr;
    lists.cached_bytes -= c * kGranule;
    KESU_UNPOISON(b, c * kGranule);
    return b;
  }
  return ::operator new(c* kGranule);
}

void release(void* p, uint32_t cls) {
  size_t bytes = size_t(cls) * kGranule;
  if (cls == 0 || lists.closed || lists.cached_bytes + bytes > kMaxCachedBytes) {
    ::operator delete(p);
    return;
  }
  if (!lists.registered) {
    // First use on this thread: make sure the lists are emptied at its exit.
    closer.touch();
    lists.registered = true;
  }
  // First in, first out: blocks freed by a walk over a value are handed out
  // again in the order of that walk, so the next value built lies in memory
  // in the order it will be walked, as fresh blocks from the global
  // allocator would.
  auto* b = static_cast<FreeBlock*>(p);
  b->next = nullptr;
  if (FreeBlock* t = lists.tail[cls]) {
    KESU_UNPOISON(t, sizeof(FreeBlock));
    t->next = b;
    KESU_POISON(t, sizeof(FreeBlock));
  } else {
    lists.head[cls] = b;
  }
  lists.tail[cls] = b;
  lists.cached_bytes += bytes;
  // A kept block is out of bounds for everyone until it is handed out again.
  KESU_POISON(b, bytes);
}

size_t cached_bytes() {
  return lists.cached_bytes;
}

}  // namespace kesu::block_pool
