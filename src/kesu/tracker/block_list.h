// BlockList<T>: a sequence that grows at the back, in blocks of a fixed size.
//
// Appending never moves the elements already stored, so references to them
// stay valid while the list grows; indexing is a shift and a mask; a list
// holds at most one partly used block. The tracker keeps one record per
// replayed keystroke in such a list and reads it mostly near its end.
//
// Not thread-safe.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kesu {

template <typename T, size_t kBlockBits = 6>
class BlockList {
 public:
  static constexpr size_t kBlockLen = size_t(1) << kBlockBits;

  BlockList() = default;
  BlockList(const BlockList&) = delete;
  BlockList& operator=(const BlockList&) = delete;
  BlockList(BlockList&& o) noexcept
      : blocks_(std::move(o.blocks_)), size_(std::exchange(o.size_, 0)) {}
  BlockList& operator=(BlockList&& o) noexcept {
    if (this != &o) {
      clear();
      blocks_ = std::move(o.blocks_);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~BlockList() { clear(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Element i; i < size() is the caller's duty.
  T& operator[](size_t i) { return blocks_[i >> kBlockBits][i & (kBlockLen - 1)]; }
  const T& operator[](size_t i) const { return blocks_[i >> kBlockBits][i & (kBlockLen - 1)]; }
  T& front() { return (*this)[0]; }
  const T& front() const { return (*this)[0]; }
  T& back() { return (*this)[size_ - 1]; }
  const T& back() const { return (*this)[size_ - 1]; }

  void push_back(T&& v) {
    ::new (static_cast<void*>(slot_for_next())) T(std::move(v));
    ++size_;
  }
  // Appends the value `make()` returns, built in its place (no move).
  template <typename F>
  T& push_back_made(F&& make) {
    T* p = slot_for_next();
    ::new (static_cast<void*>(p)) T(make());
    ++size_;
    return *p;
  }

  // Destroys every element and releases every block.
  void clear() {
    for (size_t i = 0; i < size_; ++i) (*this)[i].~T();
    for (T* b : blocks_) ::operator delete(static_cast<void*>(b));
    blocks_.clear();
    size_ = 0;
  }

  // Releases every block without running the elements' destructors, for an
  // owner that knows none of its elements holds anything: a long list is
  // then dropped without reading it back from memory.
  void release_without_destroying() {
    for (T* b : blocks_) ::operator delete(static_cast<void*>(b));
    blocks_.clear();
    size_ = 0;
  }

  template <bool kConst>
  class Iter {
   public:
    using List = std::conditional_t<kConst, const BlockList, BlockList>;
    using Ref = std::conditional_t<kConst, const T&, T&>;
    Iter(List* l, size_t i) : l_(l), i_(i) {}
    Ref operator*() const { return (*l_)[i_]; }
    auto* operator->() const { return &(*l_)[i_]; }
    Iter& operator++() {
      ++i_;
      return *this;
    }
    bool operator==(const Iter& o) const { return i_ == o.i_; }

   private:
    List* l_;
    size_t i_;
  };
  Iter<false> begin() { return {this, 0}; }
  Iter<false> end() { return {this, size_}; }
  Iter<true> begin() const { return {this, 0}; }
  Iter<true> end() const { return {this, size_}; }

 private:
  // Storage for element size(): the next block is taken when the last is full.
  T* slot_for_next() {
    size_t b = size_ >> kBlockBits;
    if (b == blocks_.size()) {
      blocks_.reserve(b + 1);
      blocks_.push_back(static_cast<T*>(::operator new(kBlockLen * sizeof(T))));
    }
    return blocks_[b] + (size_ & (kBlockLen - 1));
  }

  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  std::vector<T*> blocks_;
  size_t size_ = 0;
};

}  // namespace kesu
