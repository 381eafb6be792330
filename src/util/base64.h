// Base64 (RFC 4648): the standard alphabet with padding, decoded strictly, and
// the URL-safe alphabet without padding.
#pragma once

#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/codec_error.h"
#include "util/result.h"

namespace brenvik {

std::string base64_encode(ByteView data);
// Strict: padding required, no whitespace, and the unused bits of the last
// symbol must be zero, so that decode-then-encode reproduces the input.
Result<Bytes, CodecError> base64_decode(std::string_view text);

std::string base64url_encode(ByteView data);
// No padding accepted; unused bits must be zero.
Result<Bytes, CodecError> base64url_decode(std::string_view text);

}  // namespace brenvik
