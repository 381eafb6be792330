#include "kesu/kv_store/table_checksum.h"

#include <xxhash.h>

namespace kesu {

uint32_t table_checksum(brenvik::ByteView data) {
  return XXH32(data.data(), data.size(), kTableChecksumSeed);
}

}  // namespace kesu
