#include "rfc9420/tls_codec.h"

namespace brenvik::rfc9420 {

std::string_view tls_error_message(TlsError e) {
  switch (e) {
    case TlsError::Truncated:
      return "input ends inside a value";
    case TlsError::InvalidVarint:
      return "length header uses the reserved prefix";
    case TlsError::NonMinimalVarint:
      return "length header is not minimally encoded";
    case TlsError::InvalidOptional:
      return "optional presence octet is neither 0 nor 1";
    case TlsError::UnknownSelector:
      return "unknown or unsupported select value";
    case TlsError::InvalidConstant:
      return "fixed field has an unexpected value";
    case TlsError::EmptyElement:
      return "vector element occupies no bytes";
    case TlsError::TrailingBytes:
      return "trailing bytes after the value";
    case TlsError::VectorOverrun:
      return "vector length exceeds the remaining input";
  }
  return "unknown TLS codec error";
}

void tls_put_varint(Bytes& out, uint64_t v) {
  if (v < 0x40) {
    out.push_back(uint8_t(v));
  } else if (v < 0x4000) {
    put_u16_be(out, uint16_t(0x4000 | v));
  } else if (v <= kTlsMaxVarint) {
    put_u32_be(out, uint32_t(0x80000000u | v));
  } else {
    throw std::logic_error("vector longer than a variable-size header can carry");
  }
}

void TlsWriter::end_vector(size_t start) {
  size_t len = out_.size() - start;
  uint8_t hdr[4];
  size_t n;
  if (len < 0x40) {
    hdr[0] = uint8_t(len);
    n = 1;
  } else if (len < 0x4000) {
    hdr[0] = uint8_t(0x40 | (len >> 8));
    hdr[1] = uint8_t(len);
    n = 2;
  } else if (len <= kTlsMaxVarint) {
    hdr[0] = uint8_t(0x80 | (len >> 24));
    hdr[1] = uint8_t(len >> 16);
    hdr[2] = uint8_t(len >> 8);
    hdr[3] = uint8_t(len);
    n = 4;
  } else {
    throw std::logic_error("vector longer than a variable-size header can carry");
  }
  out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(start), hdr, hdr + n);
}

uint8_t TlsReader::u8() {
  if (error_) return 0;
  if (end_ - pos_ < 1) {
    fail(TlsError::Truncated);
    return 0;
  }
  return in_[pos_++];
}

uint16_t TlsReader::u16() {
  if (error_) return 0;
  if (end_ - pos_ < 2) {
    fail(TlsError::Truncated);
    return 0;
  }
  uint16_t v = load_u16_be(in_.data() + pos_);
  pos_ += 2;
  return v;
}

uint32_t TlsReader::u32() {
  if (error_) return 0;
  if (end_ - pos_ < 4) {
    fail(TlsError::Truncated);
    return 0;
  }
  uint32_t v = load_u32_be(in_.data() + pos_);
  pos_ += 4;
  return v;
}

uint64_t TlsReader::u64() {
  if (error_) return 0;
  if (end_ - pos_ < 8) {
    fail(TlsError::Truncated);
    return 0;
  }
  uint64_t v = load_u64_be(in_.data() + pos_);
  pos_ += 8;
  return v;
}

ByteView TlsReader::raw(size_t n) {
  if (error_) return {};
  if (end_ - pos_ < n) {
    fail(TlsError::Truncated);
    return {};
  }
  ByteView v = in_.subspan(pos_, n);
  pos_ += n;
  return v;
}

uint64_t TlsReader::varint() {
  uint8_t first = u8();
  if (error_) return 0;
  uint8_t prefix = first >> 6;
  if (prefix == 3) {
    fail(TlsError::InvalidVarint);
    return 0;
  }
  size_t len = size_t{1} << prefix;
  uint64_t v = first & 0x3f;
  ByteView rest = raw(len - 1);
  if (error_) return 0;
  for (uint8_t b : rest) v = (v << 8) | b;
  // Minimal encoding: the value must not fit the next shorter form.
  if (prefix >= 1 && v < (uint64_t{1} << (8 * (len / 2) - 2))) {
    fail(TlsError::NonMinimalVarint);
    return 0;
  }
  return v;
}

void TlsReader::opaque(Bytes& out) {
  uint64_t len = varint();
  if (error_) return;
  if (len > end_ - pos_) {
    fail(TlsError::VectorOverrun);
    return;
  }
  ByteView b = raw(static_cast<size_t>(len));
  out.assign(b.begin(), b.end());
}

std::optional<size_t> TlsReader::push_limit(uint64_t n) {
  if (error_) return std::nullopt;
  if (n > end_ - pos_) {
    fail(TlsError::VectorOverrun);
    return std::nullopt;
  }
  size_t outer = end_;
  end_ = pos_ + static_cast<size_t>(n);
  return outer;
}

}  // namespace brenvik::rfc9420
