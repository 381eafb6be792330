// Checksum of sorted-table blocks and block metas: xxHash32 seeded with the
// table magic "KESU" read as a little-endian u32.
#pragma once

#include <cstdint>

#include "util/bytes.h"

namespace kesu {

inline constexpr uint32_t kTableChecksumSeed = 0x5553454Bu;  // "KESU" little-endian

uint32_t table_checksum(brenvik::ByteView data);

}  // namespace kesu
