#include "kesu/columnar/columnar_error.h"

namespace kesu {

std::string i128_to_string(i128 v) {
  if (v == 0) return "0";
  bool neg = v < 0;
  u128 m = neg ? u128(0) - u128(v) : u128(v);
  char buf[48];
  int i = 47;
  buf[i] = 0;
  while (m > 0) {
    buf[--i] = char('0' + int(m % 10));
    m /= 10;
  }
  if (neg) buf[--i] = '-';
  return std::string(buf + i);
}

std::string ColumnarError::message() const {
  switch (kind_) {
    case ColumnarErrorKind::SerializeError:
      return "compact serializer error: " + serde_.message();
    case ColumnarErrorKind::ColumnarEncodeError:
      return "`" + text_ + "` during columnar encoding";
    case ColumnarErrorKind::ColumnarDecodeError:
      return "`" + text_ + "` during columnar decoding";
    case ColumnarErrorKind::RleEncodeError:
      return "`" + text_ + "` during rle encoding";
    case ColumnarErrorKind::RleDecodeError:
      return "`" + text_ + "` during rle decoding";
    case ColumnarErrorKind::InvalidStrategy:
      return "invalid strategy code `" + std::to_string(unsigned(code_)) + "`";
    case ColumnarErrorKind::IOError:
      return "io error: " + text_;
    case ColumnarErrorKind::OverflowError:
      return "overflow error";
    case ColumnarErrorKind::Unknown:
      return "unknown data store error";
  }
  return "unknown data store error";
}

std::string ColumnarError::debug() const {
  auto quoted = [](const std::string& s) { return "(\"" + s + "\")"; };
  switch (kind_) {
    case ColumnarErrorKind::SerializeError:
      return "SerializeError(" + serde_.debug() + ")";
    case ColumnarErrorKind::ColumnarEncodeError:
      return "ColumnarEncodeError" + quoted(text_);
    case ColumnarErrorKind::ColumnarDecodeError:
      return "ColumnarDecodeError" + quoted(text_);
    case ColumnarErrorKind::RleEncodeError:
      return "RleEncodeError" + quoted(text_);
    case ColumnarErrorKind::RleDecodeError:
      return "RleDecodeError" + quoted(text_);
    case ColumnarErrorKind::InvalidStrategy:
      return "InvalidStrategy(" + std::to_string(unsigned(code_)) + ")";
    case ColumnarErrorKind::IOError:
      return "IOError" + quoted(text_);
    case ColumnarErrorKind::OverflowError:
      return "OverflowError";
    case ColumnarErrorKind::Unknown:
      return "Unknown";
  }
  return "Unknown";
}

}  // namespace kesu
