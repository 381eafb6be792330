#include "kesu/common/bytes_slice.h"

namespace kesu {

BytesSlice BytesSlice::from_bytes(brenvik::ByteView b) {
  return from_shared(std::make_shared<const brenvik::Bytes>(b.begin(), b.end()));
}

BytesSlice BytesSlice::from_shared(std::shared_ptr<const brenvik::Bytes> buf) {
  if (buf->size() > UINT32_MAX) throw InternalError("BytesSlice buffer longer than 2^32-1 bytes");
  BytesSlice s;
  s.end_ = uint32_t(buf->size());
  s.data_ = std::move(buf);
  return s;
}

BytesSlice BytesSlice::slice(size_t from, size_t to) const {
  if (from > to || to > size()) throw InternalError("BytesSlice::slice out of range");
  BytesSlice s = *this;
  s.start_ = uint32_t(start_ + from);
  s.end_ = uint32_t(start_ + to);
  return s;
}

void BytesSlice::merge(const BytesSlice& next) {
  if (!can_merge(next)) throw InternalError("MergeFailed");
  end_ = next.end_;
}

std::string BytesSlice::debug() const {
  std::string s = "BytesSlice { data: [";
  auto b = bytes();
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(b[i]);
  }
  return s + "], start: " + std::to_string(start_) + ", end: " + std::to_string(end_) + " }";
}

}  // namespace kesu
