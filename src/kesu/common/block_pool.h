// Memory for the payload blocks of values (list and map blocks, long texts
// and byte strings).
//
// Decoding a document builds its blocks by the ten thousand and releasing it
// frees them all again; the general allocator then spends a good part of a
// decode splitting and merging those chunks. Each thread keeps the blocks it
// frees in lists per size class instead, and hands them out again to the
// next blocks of that class.
//
// A block may be freed on any thread: the lists are per thread and hold only
// whole blocks obtained from the global allocator, so a block freed on
// another thread simply joins that thread's lists, and no list is ever
// touched by two threads. What a thread keeps is bounded (kMaxCachedBytes);
// past the bound, and for blocks larger than the largest class, blocks go
// back to the global allocator. A thread's lists are emptied when it exits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kesu::block_pool {

// Blocks up to this many bytes are kept, in classes of kGranule bytes.
constexpr size_t kGranule = 16;
constexpr size_t kMaxBlock = 1024;
// The most a thread keeps in its lists, all classes together.
constexpr size_t kMaxCachedBytes = size_t(16) << 20;

// At least n bytes, aligned for any value block. *cls receives the class to
// pass back to release (0 for a block outside the classes).
void* acquire(size_t n, uint32_t* cls);
// Gives back a block from acquire with the class it reported; any thread.
void release(void* p, uint32_t cls);

// Bytes of blocks the calling thread keeps (for tests).
size_t cached_bytes();

}  // namespace kesu::block_pool
