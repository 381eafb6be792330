#include "kesu/columnar/rle.h"

namespace kesu {

Bytes encode_bool_rle(const std::vector<bool>& values) {
  BoolRleEncoder e;
  for (bool v : values) e.append(v);
  return e.finish();
}

ColumnarResult<bool> BoolRleDecoder::next_run(bool& value, uint64_t& k, uint64_t want,
                                              bool for_take) {
  while (remaining_ == 0) {
    if (r_.at_end()) {
      k = 0;
      return true;
    }
    auto c = r_.read_uvarint();
    if (!c.ok()) {
      if (for_take || c.error().kind == SerdeErrorKind::UnexpectedEnd) {
        k = 0;
        return true;
      }
      return Err(ColumnarError::serialize(std::move(c).error()));
    }
    if (*c > kMaxRleCount)
      return Err(
          ColumnarError::rle_decode("decode Rle count is too large : " + std::to_string(*c)));
    current_ = !current_;
    remaining_ = *c;  // a zero run just flips the value
  }
  k = std::min(remaining_, want);
  value = current_;
  remaining_ -= k;
  return true;
}

ColumnarResult<std::optional<bool>> BoolRleDecoder::next() {
  bool v = false;
  uint64_t k = 0;
  auto st = next_run(v, k, 1, false);
  if (!st.ok()) return Err(std::move(st).error());
  if (k == 0) return std::optional<bool>();
  return std::optional<bool>(v);
}

ColumnarResult<std::vector<bool>> BoolRleDecoder::take(size_t n) {
  std::vector<bool> out;
  out.reserve(std::min<size_t>(n, kMaxReserveBytes * 8));
  while (out.size() < n) {
    bool v = false;
    uint64_t k = 0;
    auto st = next_run(v, k, n - out.size(), true);
    if (!st.ok()) return Err(std::move(st).error());
    if (k == 0) return Err(too_few_values(n));
    out.insert(out.end(), size_t(k), v);
  }
  return out;
}

ColumnarResult<std::vector<bool>> BoolRleDecoder::decode_all(size_t max_values) {
  std::vector<bool> out;
  for (;;) {
    bool v = false;
    uint64_t k = 0;
    auto st = next_run(v, k, std::numeric_limits<uint64_t>::max(), false);
    if (!st.ok()) return Err(std::move(st).error());
    if (k == 0) return out;
    if (k > max_values - out.size()) return Err(too_many_values(max_values));
    out.insert(out.end(), size_t(k), v);
  }
}

}  // namespace kesu
