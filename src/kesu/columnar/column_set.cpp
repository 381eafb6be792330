#include "kesu/columnar/column_set.h"

#include <chrono>

#include "util/log.h"

namespace kesu {

namespace {

constexpr std::string_view kLogTarget = "kesu::columnar";

// Malformed columns come from peers and files, so a peer decides how often
// this fires: one debug record per second at most, carrying how many were
// left out before it.
brenvik::LogRateLimiter& column_error_limiter() {
  static brenvik::LogRateLimiter limiter(brenvik::system_clock(), std::chrono::seconds(1), 1);
  return limiter;
}

}  // namespace

SerdeError column_deserialize_error(const ColumnarError& e) {
  if (brenvik::log_enabled(brenvik::LogLevel::Debug)) {
    const auto decision = column_error_limiter().check("column-deserialize");
    if (decision.allowed) {
      const std::string debug = e.debug();
      BRENVIK_LOG(brenvik::LogLevel::Debug, kLogTarget, {"message", "Column Deserialize Error"},
                  {"error", brenvik::LogValue::display(debug)},
                  {"suppressed_before", decision.suppressed_before});
    }
  }
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
