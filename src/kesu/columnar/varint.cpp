#include "kesu/columnar/varint.h"

namespace kesu {

namespace {
const char* kind_description(SerdeErrorKind k) {
  switch (k) {
    case SerdeErrorKind::UnexpectedEnd:
      return "unexpected end of input";
    case SerdeErrorKind::BadVarint:
      return "malformed or overflowing varint";
    case SerdeErrorKind::BadBool:
      return "invalid boolean byte";
    case SerdeErrorKind::BadOption:
      return "invalid option tag";
    case SerdeErrorKind::BadUtf8:
      return "invalid UTF-8";
    case SerdeErrorKind::CustomSerialize:
      return "serialization failed";
    case SerdeErrorKind::CustomDeserialize:
      return "deserialization failed";
  }
  return "unknown error";
}
const char* kind_name(SerdeErrorKind k) {
  switch (k) {
    case SerdeErrorKind::UnexpectedEnd:
      return "UnexpectedEnd";
    case SerdeErrorKind::BadVarint:
      return "BadVarint";
    case SerdeErrorKind::BadBool:
      return "BadBool";
    case SerdeErrorKind::BadOption:
      return "BadOption";
    case SerdeErrorKind::BadUtf8:
      return "BadUtf8";
    case SerdeErrorKind::CustomSerialize:
      return "CustomSerialize";
    case SerdeErrorKind::CustomDeserialize:
      return "CustomDeserialize";
  }
  return "Unknown";
}
}  // namespace

std::string SerdeError::message() const {
  std::string s = kind_description(kind);
  if (!detail.empty()) s += ": " + detail;
  return s;
}

std::string SerdeError::debug() const {
  std::string s = kind_name(kind);
  if (!detail.empty()) s += "(\"" + detail + "\")";
  return s;
}

void write_uvarint128(Bytes& out, u128 v) {
  uint8_t buf[19];
  out.insert(out.end(), buf, brenvik::leb128_store_unsigned(buf, v));
}

void write_f64_le(Bytes& out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  brenvik::put_u64_le(out, bits);
}

void write_f64_be(Bytes& out, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  brenvik::put_u64_be(out, bits);
}

void write_bytes(Bytes& out, ByteView b) {
  write_uvarint(out, b.size());
  out.insert(out.end(), b.begin(), b.end());
}

SerdeResult<bool> ByteReader::read_bool() {
  if (pos_ >= data_.size()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  uint8_t b = data_[pos_++];
  if (b > 1) return Err(SerdeError(SerdeErrorKind::BadBool));
  return b == 1;
}

SerdeResult<bool> ByteReader::read_option_tag() {
  if (pos_ >= data_.size()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  uint8_t b = data_[pos_++];
  if (b > 1) return Err(SerdeError(SerdeErrorKind::BadOption));
  return b == 1;
}

SerdeResult<uint64_t> ByteReader::read_uvarint_slow() {
  auto r = brenvik::leb128_get_u64(data_, pos_);
  if (r.ok()) return *r;
  return Err(SerdeError(r.error() == brenvik::CodecError::Truncated ? SerdeErrorKind::UnexpectedEnd
                                                                    : SerdeErrorKind::BadVarint));
}

SerdeResult<uint32_t> ByteReader::read_uvarint32_slow() {
  uint32_t result = 0;
  for (unsigned i = 0; i < 5; ++i) {
    if (pos_ >= data_.size()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
    uint8_t byte = data_[pos_++];
    if (i == 4 && byte > 0x0F) return Err(SerdeError(SerdeErrorKind::BadVarint));
    result |= uint32_t(byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) return result;
  }
  return Err(SerdeError(SerdeErrorKind::BadVarint));  // unreachable: byte 4 is checked
}

SerdeResult<u128> ByteReader::read_uvarint128() {
  u128 result = 0;
  for (unsigned i = 0; i < 19; ++i) {
    if (pos_ >= data_.size()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
    uint8_t byte = data_[pos_++];
    if (i == 18 && byte > 0x03) return Err(SerdeError(SerdeErrorKind::BadVarint));
    result |= u128(byte & 0x7F) << (7 * i);
    if (!(byte & 0x80)) return result;
  }
  return Err(SerdeError(SerdeErrorKind::BadVarint));
}

SerdeResult<int32_t> ByteReader::read_ivarint32() {
  auto r = read_uvarint32();
  if (!r.ok()) return Err(std::move(r).error());
  return unzigzag32(*r);
}

SerdeResult<i128> ByteReader::read_ivarint128_slow() {
  auto r = read_uvarint128();
  if (!r.ok()) return Err(std::move(r).error());
  return unzigzag128(*r);
}

SerdeResult<int64_t> ByteReader::read_sleb128_slow() {
  size_t start = pos_;
  auto r = brenvik::leb128_get_i64(data_, pos_);
  if (r.ok()) return *r;
  if (r.error() == brenvik::CodecError::Truncated)
    return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  // Skip the bytes that still carry bit 7 and the one that ends them, so the
  // cursor sits after the malformed number.
  pos_ = start;
  while (pos_ < data_.size() && (data_[pos_] & 0x80)) ++pos_;
  if (pos_ < data_.size()) ++pos_;
  return Err(SerdeError(SerdeErrorKind::BadVarint,
                        "The number being read is larger than can be represented"));
}

SerdeResult<double> ByteReader::read_f64_le() {
  if (remaining() < 8) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  uint64_t bits = brenvik::load_u64_le(data_.data() + pos_);
  pos_ += 8;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

SerdeResult<double> ByteReader::read_f64_be() {
  if (remaining() < 8) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  uint64_t bits = brenvik::load_u64_be(data_.data() + pos_);
  pos_ += 8;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

SerdeResult<ByteView> ByteReader::read_bytes_slow() {
  auto n = read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  if (*n > remaining()) return Err(SerdeError(SerdeErrorKind::UnexpectedEnd));
  return read_raw(size_t(*n));
}

}  // namespace kesu
