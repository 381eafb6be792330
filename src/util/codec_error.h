// Errors of the small text and integer codecs in util.
#pragma once

#include <string_view>

namespace brenvik {

enum class CodecError {
  InvalidLength,     // input length impossible for the encoding
  InvalidCharacter,  // a symbol outside the alphabet
  NonCanonical,      // decodes, but re-encoding would differ (padding bits, overlong varint)
  Truncated,         // input ended inside a value
  Overflow,          // value does not fit the target type
};

constexpr std::string_view codec_error_message(CodecError e) {
  switch (e) {
    case CodecError::InvalidLength: return "invalid length";
    case CodecError::InvalidCharacter: return "invalid character";
    case CodecError::NonCanonical: return "non-canonical encoding";
    case CodecError::Truncated: return "truncated input";
    case CodecError::Overflow: return "value overflows its type";
  }
  return "unknown codec error";
}

}  // namespace brenvik
