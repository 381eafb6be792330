#include "kesu/columnar/delta_of_delta.h"

namespace kesu {

void DeltaOfDeltaEncoder::write_bits(uint64_t w, unsigned k) {
  if (k == 0) return;
  if (k < 64) w &= (uint64_t(1) << k) - 1;
  if (used_ == 64) {
    words_.push_back(k == 64 ? w : w << (64 - k));
    used_ = k;
  } else if (used_ + k <= 64) {
    unsigned shift = 64 - used_ - k;
    words_.back() |= w << shift;
    used_ += k;
  } else {
    unsigned first = 64 - used_;  // bits that still fit in the last word
    unsigned rest = k - first;
    words_.back() |= w >> rest;
    words_.push_back(w << (64 - rest));
    used_ = rest;
  }
}

ColumnarResult<bool> DeltaOfDeltaEncoder::append(int64_t v) {
  if (!first_) {
    first_ = v;
    prev_ = v;
    return true;
  }
  int64_t delta, dod;
  if (__builtin_sub_overflow(v, prev_, &delta))
    return Err(ColumnarError::rle_encode("delta overflow 64 bits"));
  if (__builtin_sub_overflow(delta, prev_delta_, &dod))
    return Err(ColumnarError::rle_encode("delta of delta overflow 64 bits"));
  prev_ = v;
  prev_delta_ = delta;
  if (dod == 0) {
    write_bits(0, 1);
  } else if (dod >= -63 && dod <= 64) {
    write_bits((uint64_t(0b10) << 7) | uint64_t(dod + 63), 9);
  } else if (dod >= -255 && dod <= 256) {
    write_bits((uint64_t(0b110) << 9) | uint64_t(dod + 255), 12);
  } else if (dod >= -2047 && dod <= 2048) {
    write_bits((uint64_t(0b1110) << 12) | uint64_t(dod + 2047), 16);
  } else if (dod >= -1048575 && dod <= 1048576) {
    write_bits((uint64_t(0b11110) << 21) | uint64_t(dod + 1048575), 26);
  } else {
    write_bits(0b11111, 5);
    write_bits(uint64_t(dod), 64);
  }
  wrote_ = true;
  return true;
}

Bytes DeltaOfDeltaEncoder::finish() {
  Bytes out;
  if (first_) {
    out.push_back(1);
    write_ivarint(out, *first_);
  } else {
    out.push_back(0);
  }
  uint8_t last_bits = uint8_t(used_ % 8);
  if (last_bits == 0 && wrote_) last_bits = 8;
  if (!wrote_) last_bits = 0;
  out.push_back(last_bits);
  for (size_t i = 0; i + 1 < words_.size(); ++i) brenvik::put_u64_be(out, words_[i]);
  uint64_t last = words_.back();
  for (unsigned b = 0; b < (used_ + 7) / 8; ++b) out.push_back(uint8_t(last >> (56 - 8 * b)));
  *this = DeltaOfDeltaEncoder();
  return out;
}

ColumnarResult<Bytes> encode_delta_of_delta(const std::vector<int64_t>& values) {
  DeltaOfDeltaEncoder e;
  for (int64_t v : values) {
    auto r = e.append(v);
    if (!r.ok()) return Err(std::move(r).error());
  }
  return e.finish();
}

ColumnarResult<DeltaOfDeltaDecoder> DeltaOfDeltaDecoder::open(ByteView bytes) {
  ByteReader r(bytes);
  auto tag = r.read_option_tag();
  if (!tag.ok()) return Err(ColumnarError::serialize(std::move(tag).error()));
  DeltaOfDeltaDecoder d;
  if (*tag) {
    auto first = r.read_ivarint();
    if (!first.ok()) return Err(ColumnarError::serialize(std::move(first).error()));
    d.first_ = *first;
  }
  auto last_bits = r.read_u8();
  if (!last_bits.ok()) return Err(ColumnarError::rle_decode("Invalid DeltaOfDelta input"));
  if (*last_bits > 8)
    return Err(ColumnarError::rle_decode("Invalid DeltaOfDelta input: last bits " +
                                         std::to_string(unsigned(*last_bits)) + " above 8"));
  d.data_ = r.rest();
  d.total_bits_ = int64_t(d.data_.size()) * 8 + int64_t(*last_bits) - 8;
  return d;
}

ColumnarResult<std::optional<int64_t>> DeltaOfDeltaDecoder::next() {
  int64_t v;
  switch (next_raw(v)) {
    case Step::Value:
      return std::optional<int64_t>(v);
    case Step::End:
      return std::optional<int64_t>();
    case Step::Error:
      return Err(error_);
  }
  return Err(error_);
}

}  // namespace kesu
