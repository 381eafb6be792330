// CRC-32 as computed by zlib (ISO-HDLC: reflected polynomial 0xEDB88320).
#pragma once

#include <cstdint>
#include <string_view>

#include "util/bytes.h"

namespace brenvik {

// Continues a running CRC (start with 0) over `data`.
uint32_t crc32_update(uint32_t crc, ByteView data);
inline uint32_t crc32(ByteView data) {
  return crc32_update(0, data);
}
inline uint32_t crc32(std::string_view text) {
  return crc32(as_bytes(text));
}

}  // namespace brenvik
