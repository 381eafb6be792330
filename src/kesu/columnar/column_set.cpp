#include "kesu/columnar/column_set.h"

#include <cstdio>

namespace kesu {

SerdeError column_deserialize_error(const ColumnarError& e) {
  std::string line = "Column Deserialize Error: " + e.debug() + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return SerdeError(SerdeErrorKind::CustomDeserialize, e.message());
}

SerdeError column_serialize_error(const ColumnarError& e) {
  return SerdeError(SerdeErrorKind::CustomSerialize, e.message());
}

void write_column_set(Bytes& out, const std::vector<Bytes>& columns) {
  write_uvarint(out, columns.size());
  for (const Bytes& c : columns) write_bytes(out, c);
}

SerdeResult<std::vector<ByteView>> read_column_set(ByteReader& r, size_t declared) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  if (*n < declared)
    return Err(SerdeError(SerdeErrorKind::CustomDeserialize,
                          "column set holds " + std::to_string(*n) + " columns, expected " +
                              std::to_string(declared)));
  std::vector<ByteView> views;
  views.reserve(declared);
  // Columns after the declared ones are left unread.
  for (size_t i = 0; i < declared; ++i) {
    auto b = r.read_bytes();
    if (!b.ok()) return Err(std::move(b).error());
    views.push_back(*b);
  }
  return views;
}

}  // namespace kesu
