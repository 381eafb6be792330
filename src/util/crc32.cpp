#include "util/crc32.h"

#include <zlib.h>

#include <climits>

namespace brenvik {

uint32_t crc32_update(uint32_t crc, ByteView data) {
  uLong c = crc;
  const uint8_t* p = data.data();
  size_t n = data.size();
  // zlib takes a uInt length; feed large inputs in pieces.
  while (n > 0) {
    const uInt chunk = n > UINT_MAX ? UINT_MAX : uInt(n);
    c = ::crc32(c, p, chunk);
    p += chunk;
    n -= chunk;
  }
  return uint32_t(c);
}

}  // namespace brenvik
