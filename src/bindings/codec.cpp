#include "bindings/codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "util/utf8.h"

namespace brenvik::ffi {

std::string not_enough_bytes(size_t remaining, size_t needed) {
  return "not enough bytes remaining in buffer (" + std::to_string(remaining) + " < " +
         std::to_string(needed) + ")";
}

LiftResult<ByteView> Reader::take(size_t n) {
  if (remaining() < n) return Err(not_enough_bytes(remaining(), n));
  ByteView out = data_.subspan(pos_, n);
  pos_ += n;
  return out;
}

Writer::~Writer() {
  release_buffer(buf_);
}

void Writer::put(ByteView bytes) {
  if (bytes.empty()) return;
  reserve(bytes.size());
  std::memcpy(buf_.data + buf_.len, bytes.data(), bytes.size());
  buf_.len += bytes.size();
}

void Writer::grow(size_t extra) {
  uint64_t want = std::max<uint64_t>(buf_.len + extra, std::max<uint64_t>(64, buf_.capacity * 2));
  void* p = buf_.capacity ? std::realloc(buf_.data, want) : std::malloc(want);
  if (!p) throw std::bad_alloc();
  buf_.data = static_cast<uint8_t*>(p);
  buf_.capacity = want;
}

ByteBuffer Writer::into_buffer() {
  if (buf_.capacity == 0) return empty_buffer();
  return std::exchange(buf_, ByteBuffer{0, 0, nullptr});
}

void Writer::put_length(size_t n) {
  if (n > size_t(std::numeric_limits<int32_t>::max())) {
    throw std::length_error("value too long for an i32 length: " + std::to_string(n));
  }
  Codec<int32_t>::write(*this, static_cast<int32_t>(n));
}

LiftResult<bool> Codec<bool>::read(Reader& r) {
  auto b = r.take(1);
  if (!b.ok()) return Err(std::move(b).error());
  if ((*b)[0] > 1) return Err(LiftError("unexpected byte for Boolean"));
  return (*b)[0] == 1;
}

LiftResult<size_t> read_length(Reader& r) {
  auto n = Codec<int32_t>::read(r);
  if (!n.ok()) return Err(std::move(n).error());
  if (*n < 0) return Err(LiftError("number too small to fit in target type"));
  return static_cast<size_t>(*n);
}

std::optional<LiftError> utf8_problem(ByteView bytes) {
  auto valid = validate_utf8(bytes);
  if (!valid.ok()) return valid.error().message();
  return std::nullopt;
}

LiftResult<std::string> Codec<std::string>::read(Reader& r) {
  auto n = read_length(r);
  if (!n.ok()) return Err(std::move(n).error());
  auto body = r.take(*n);
  if (!body.ok()) return Err(std::move(body).error());
  if (auto bad = utf8_problem(*body)) return Err(std::move(*bad));
  return to_string(*body);
}

void Codec<std::string>::write(Writer& w, std::string_view v) {
  w.put_length(v.size());
  w.put(as_bytes(v));
}

LiftResult<Bytes> Codec<Bytes>::read(Reader& r) {
  auto n = read_length(r);
  if (!n.ok()) return Err(std::move(n).error());
  // Checked before anything is allocated: a declared length past the end of
  // the buffer is reported with what remains and what was declared.
  auto body = r.take(*n);
  if (!body.ok()) return Err(std::move(body).error());
  return Bytes(body->begin(), body->end());
}

void Codec<Bytes>::write(Writer& w, ByteView v) {
  w.put_length(v.size());
  w.put(v);
}

}  // namespace brenvik::ffi
