// BytesSlice: a view [start, end) into an immutable, reference-counted byte
// buffer. Slicing and joining never copy bytes; the buffer lives as long as
// its last view.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kesu/common/internal_error.h"
#include "util/bytes.h"

namespace kesu {

class BytesSlice {
 public:
  BytesSlice() : data_(std::make_shared<const brenvik::Bytes>()) {}
  // Copies the bytes into a new buffer and views all of it.
  static BytesSlice from_bytes(brenvik::ByteView b);
  // Views the whole of an existing shared buffer (lengths above 2^32-1 throw).
  static BytesSlice from_shared(std::shared_ptr<const brenvik::Bytes> buf);

  uint32_t start() const { return start_; }
  uint32_t end() const { return end_; }
  size_t size() const { return end_ - start_; }
  bool empty() const { return start_ == end_; }
  brenvik::ByteView bytes() const {
    return brenvik::ByteView(*data_).subspan(start_, end_ - start_);
  }
  bool same_buffer(const BytesSlice& o) const { return data_ == o.data_; }

  // [start + from, start + to); requires from <= to <= size(), else throws
  // InternalError.
  BytesSlice slice(size_t from, size_t to) const;
  // True when both share one buffer and this one ends where `next` starts.
  bool can_merge(const BytesSlice& next) const { return same_buffer(next) && end_ == next.start_; }
  // Takes next's end; throws InternalError("MergeFailed") when !can_merge.
  void merge(const BytesSlice& next);

  // BytesSlice { data: [..], start: s, end: e }
  std::string debug() const;

 private:
  std::shared_ptr<const brenvik::Bytes> data_;
  uint32_t start_ = 0;
  uint32_t end_ = 0;
};

}  // namespace kesu
