// BlockVector: the element storage of list and map payload blocks. It
// behaves as a vector, except that it can start on room that its owner
// allocated together with it (the payload block allocates its header and its
// first elements at once), so that a value decoded with a known count costs
// one allocation instead of two. Once more room is needed, the elements move
// to a heap buffer of their own, as a vector's would.
//
// A vector that starts on borrowed room does not own it: moving such a
// vector moves its elements one by one into a buffer of the destination.
//
// Lists and maps are built by the ten thousand, so the vector is 16 bytes:
// counts are 32-bit (at most kMaxSize elements; growing past that throws
// std::length_error) and whether the buffer is owned is the top bit of the
// capacity word.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace kesu {

template <typename T>
class BlockVector {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;
  using size_type = size_t;
  using reference = T&;
  using const_reference = const T&;

  BlockVector() = default;
  BlockVector(std::initializer_list<T> init) {
    reserve(init.size());
    for (const T& x : init) push_back(x);
  }
  // Moves the range's elements in.
  template <typename It>
  BlockVector(std::move_iterator<It> first, std::move_iterator<It> last) {
    reserve(size_t(std::distance(first, last)));
    for (; first != last; ++first) push_back(*first);
  }
  BlockVector(const BlockVector& o) {
    reserve(o.size_);
    for (const T& x : o) push_back(x);
  }
  BlockVector(BlockVector&& o) { take(o); }
  BlockVector& operator=(const BlockVector& o) {
    if (this != &o) {
      BlockVector tmp(o);
      *this = std::move(tmp);
    }
    return *this;
  }
  BlockVector& operator=(BlockVector&& o) {
    if (this != &o) {
      clear();
      take(o);
    }
    return *this;
  }
  ~BlockVector() {
    clear();
    if (owned()) ::operator delete(data_);
  }

  static constexpr size_t kMaxSize = 0x7FFFFFFF;

  // Starts an empty vector on `room` (space for `cap` elements, owned by the
  // caller and outliving the vector or its move to a buffer of its own).
  void start_on(T* room, size_t cap) {
    clear();
    if (owned()) ::operator delete(data_);
    data_ = room;
    cap_ = uint32_t(std::min(cap, kMaxSize));  // not owned: top bit clear
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return cap_ & kMaxSize; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  iterator begin() { return data_; }
  iterator end() { return data_ + size_; }
  const_iterator begin() const { return data_; }
  const_iterator end() const { return data_ + size_; }
  const_iterator cbegin() const { return data_; }
  const_iterator cend() const { return data_ + size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& front() { return data_[0]; }
  const T& front() const { return data_[0]; }
  T& back() { return data_[size_ - 1]; }
  const T& back() const { return data_[size_ - 1]; }

  void reserve(size_t n) {
    if (n > capacity()) grow_to(n);
  }
  void push_back(const T& x) { emplace_back(x); }
  void push_back(T&& x) { emplace_back(std::move(x)); }
  template <typename... A>
  T& emplace_back(A&&... args) {
    if (size_ == capacity()) {
      // The argument may live in this vector: build the element first.
      T x(std::forward<A>(args)...);
      grow_to(size_ ? size_t(size_) * 2 : 4);
      return *new (data_ + size_++) T(std::move(x));
    }
    return *new (data_ + size_++) T(std::forward<A>(args)...);
  }
  void pop_back() { data_[--size_].~T(); }
  void clear() {
    for (size_t i = 0; i < size_; ++i) data_[i].~T();
    size_ = 0;
  }
  bool owned() const { return (cap_ & kOwned) != 0; }
  void resize(size_t n) {
    while (size_ > n) pop_back();
    reserve(n);
    while (size_ < n) emplace_back();
  }
  iterator insert(const_iterator pos, T x) {
    size_t at = size_t(pos - data_);
    emplace_back(std::move(x));
    std::rotate(data_ + at, data_ + size_ - 1, data_ + size_);
    return data_ + at;
  }
  iterator erase(const_iterator pos) { return erase(pos, pos + 1); }
  iterator erase(const_iterator first, const_iterator last) {
    size_t at = size_t(first - data_), n = size_t(last - first);
    std::move(data_ + at + n, data_ + size_, data_ + at);
    for (size_t i = 0; i < n; ++i) pop_back();
    return data_ + at;
  }

  bool operator==(const BlockVector& o) const {
    return size_ == o.size_ && std::equal(begin(), end(), o.begin());
  }

 private:
  static constexpr uint32_t kOwned = 0x80000000u;

  void grow_to(size_t n) {
    if (n > kMaxSize) {
      if (size_ == kMaxSize) throw std::length_error("BlockVector is full");
      n = kMaxSize;
    }
    T* fresh = static_cast<T*>(::operator new(n * sizeof(T)));
    for (size_t i = 0; i < size_; ++i) {
      new (fresh + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    if (owned()) ::operator delete(data_);
    data_ = fresh;
    cap_ = uint32_t(n) | kOwned;
  }
  // Takes o's elements: one by one into this vector's borrowed room when
  // they fit there (or when o's room is borrowed), o's buffer otherwise.
  void take(BlockVector& o) {
    bool into_room = !owned() && capacity() >= o.size_;
    if (o.owned() && !into_room) {
      if (owned()) ::operator delete(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, kOwned);
      return;
    }
    reserve(o.size_);
    for (size_t i = 0; i < o.size_; ++i) new (data_ + size_++) T(std::move(o.data_[i]));
    o.clear();
  }

  T* data_ = nullptr;
  uint32_t size_ = 0;
  // The capacity, and kOwned when data_ is a heap buffer of this vector
  // (or null).
  uint32_t cap_ = kOwned;
};

}  // namespace kesu
