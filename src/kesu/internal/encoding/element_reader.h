// Element readers for records made of column sets: the container-state
// decoders walk a sequence or counted row element by element, and some of
// those elements are themselves framed column sets. Each reader here takes
// one element from an ElementCursor, returns nullopt when the cursor has no
// element left (the end of the sequence, which is not an error), and fails
// with the compact serializer's error otherwise.
//
// A column that does not decode is reported as every column reader does
// (column_deserialize_error): a rate-limited debug record, then
// CustomDeserialize carrying the columnar error's text.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "kesu/columnar/column_set.h"
#include "kesu/columnar/varint.h"

namespace kesu {

// The elements of a sequence or counted row still to be read. The count comes
// from the input and is only ever decremented: it bounds the reading, never
// a reservation.
class ElementCursor {
 public:
  // `r` must outlive the cursor.
  ElementCursor(ByteReader& r, uint64_t count) : r_(&r), remaining_(count) {}
  // Reads the LEB128 element count in front of a sequence or counted row.
  static SerdeResult<ElementCursor> open(ByteReader& r) {
    auto n = r.read_uvarint();
    if (!n.ok()) return Err(std::move(n).error());
    return ElementCursor(r, *n);
  }

  uint64_t remaining() const { return remaining_; }
  ByteReader& reader() { return *r_; }
  // Claims the next element; false when none is left.
  bool claim() {
    if (remaining_ == 0) return false;
    --remaining_;
    return true;
  }

 private:
  ByteReader* r_;
  uint64_t remaining_;
};

// Next pair of columns: one element that is a record of two fields, each a
// byte string opened as a column decoder of strategy A and B (column_set.h).
// The record's field count comes first; fewer than two fields is
// CustomDeserialize, and fields after the second are left unread. The
// decoders are views into the cursor's input and must not outlive it.
template <typename A, typename B>
SerdeResult<std::optional<std::pair<typename A::Decoder, typename B::Decoder>>> next_column_pair(
    ElementCursor& c) {
  using Pair = std::pair<typename A::Decoder, typename B::Decoder>;
  if (!c.claim()) return std::optional<Pair>();
  auto views = read_column_set(c.reader(), 2);
  if (!views.ok()) return Err(std::move(views).error());
  auto a = A::open((*views)[0]);
  if (!a.ok()) return Err(column_deserialize_error(a.error()));
  auto b = B::open((*views)[1]);
  if (!b.ok()) return Err(column_deserialize_error(b.error()));
  return std::optional<Pair>(Pair(std::move(a).value(), std::move(b).value()));
}

// Zips decoded columns into rows; the number of rows is the length of the
// shortest column, and values beyond it in longer columns are dropped.
template <typename... Ts>
std::vector<std::tuple<Ts...>> zip_rows(std::tuple<std::vector<Ts>...>&& cols) {
  static_assert(sizeof...(Ts) > 0);
  size_t n = std::apply([](const auto&... v) { return std::min({v.size()...}); }, cols);
  std::vector<std::tuple<Ts...>> rows;
  rows.reserve(n);  // backed by the columns already in memory
  for (size_t i = 0; i < n; ++i)
    rows.push_back(
        std::apply([i](auto&... v) { return std::tuple<Ts...>(std::move(v[i])...); }, cols));
  return rows;
}

// Rows from columns: one element that is a framed column set of the record
// type's columns (four or five in the state records), decoded whole and
// zipped into rows. A column holding more than max_rows values is refused
// (max_rows is the caller's bound on records: a run of a few bytes can stand
// for a billion values); a field count below the number of columns is
// CustomDeserialize.
template <typename... Cols>
SerdeResult<std::optional<std::vector<std::tuple<typename Cols::value_type...>>>> next_column_rows(
    ElementCursor& c, size_t max_rows) {
  using Rows = std::vector<std::tuple<typename Cols::value_type...>>;
  if (!c.claim()) return std::optional<Rows>();
  auto cols = decode_columns<Cols...>(c.reader(), max_rows);
  if (!cols.ok()) return Err(std::move(cols).error());
  return std::optional<Rows>(zip_rows(std::move(cols).value()));
}

}  // namespace kesu
