// Reading a fuzz input as a sequence of small records, and writing inputs in
// the same shape (the seed generator uses the writer, targets the reader).
// Every read is total: past the end it yields zeros or empty views, so a
// target never has to check before it reads.
#pragma once

#include <algorithm>
#include <cstdint>

#include "util/bytes.h"

namespace brenvik::fuzz {

class InputReader {
 public:
  explicit InputReader(ByteView in) : in_(in) {}
  bool empty() const { return pos_ >= in_.size(); }
  size_t remaining() const { return in_.size() - pos_; }
  uint8_t u8() { return pos_ < in_.size() ? in_[pos_++] : 0; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return uint16_t(lo | uint16_t(u8()) << 8);
  }
  ByteView take(size_t n) {
    n = std::min(n, remaining());
    ByteView out = in_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  // A u16 little-endian length, then that many bytes (fewer at the end).
  ByteView chunk() { return take(u16()); }
  ByteView rest() { return take(remaining()); }

 private:
  ByteView in_;
  size_t pos_ = 0;
};

class InputWriter {
 public:
  InputWriter& u8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  InputWriter& u16(uint16_t v) { return u8(uint8_t(v)).u8(uint8_t(v >> 8)); }
  InputWriter& raw(ByteView b) {
    out_.insert(out_.end(), b.begin(), b.end());
    return *this;
  }
  // Chunks longer than 65,535 bytes are cut (the reader could not tell).
  InputWriter& chunk(ByteView b) {
    const size_t n = std::min<size_t>(b.size(), 0xffff);
    return u16(uint16_t(n)).raw(b.first(n));
  }
  const Bytes& bytes() const { return out_; }

 private:
  Bytes out_;
};

}  // namespace brenvik::fuzz
