// Lowercase hexadecimal.
#pragma once

#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/codec_error.h"
#include "util/result.h"

namespace brenvik {

std::string hex_encode(ByteView data);
// Accepts upper- and lowercase digits; odd length is InvalidLength.
Result<Bytes, CodecError> hex_decode(std::string_view text);

}  // namespace brenvik
