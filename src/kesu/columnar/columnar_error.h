// ColumnarError: the error type of the columnar codec and of the Parts of the
// engine that store records column by column.
#pragma once

#include <cstdint>
#include <string>

#include "kesu/columnar/varint.h"

namespace kesu {

enum class ColumnarErrorKind {
  SerializeError,
  ColumnarEncodeError,
  ColumnarDecodeError,
  RleEncodeError,
  RleDecodeError,
  InvalidStrategy,
  IOError,
  OverflowError,
  Unknown,
};

class ColumnarError {
 public:
  static ColumnarError serialize(SerdeError e) {
    ColumnarError c(ColumnarErrorKind::SerializeError);
    c.serde_ = std::move(e);
    return c;
  }
  static ColumnarError with_text(ColumnarErrorKind k, std::string text) {
    ColumnarError c(k);
    c.text_ = std::move(text);
    return c;
  }
  static ColumnarError rle_encode(std::string t) {
    return with_text(ColumnarErrorKind::RleEncodeError, std::move(t));
  }
  static ColumnarError rle_decode(std::string t) {
    return with_text(ColumnarErrorKind::RleDecodeError, std::move(t));
  }
  static ColumnarError invalid_strategy(uint8_t code) {
    ColumnarError c(ColumnarErrorKind::InvalidStrategy);
    c.code_ = code;
    return c;
  }
  static ColumnarError overflow() { return ColumnarError(ColumnarErrorKind::OverflowError); }
  static ColumnarError unknown() { return ColumnarError(ColumnarErrorKind::Unknown); }

  ColumnarErrorKind kind() const { return kind_; }
  // The payload text of the text-carrying kinds.
  const std::string& text() const { return text_; }
  // The serializer error of SerializeError.
  const SerdeError& serde() const { return serde_; }

  // Display text, e.g. "`Invalid count` during rle decoding".
  std::string message() const;
  // Variant name and payload, e.g. RleDecodeError("Invalid count").
  std::string debug() const;

 private:
  explicit ColumnarError(ColumnarErrorKind k) : kind_(k), serde_(SerdeErrorKind::UnexpectedEnd) {}
  ColumnarErrorKind kind_;
  SerdeError serde_;
  std::string text_;
  uint8_t code_ = 0;
};

template <typename T>
using ColumnarResult = Result<T, ColumnarError>;

// Decimal text of a 128-bit signed integer (used by the codec's messages).
std::string i128_to_string(i128 v);

}  // namespace kesu
