// EncodedBlock: the outer record of a change block, five 32-bit LEB128
// integers followed by eight byte strings (see block_encode.h for what they
// hold). Parsing only splits the record: the views point into the input.
#pragma once

#include <cstdint>

#include "kesu/common/error.h"
#include "kesu/common/id.h"

namespace kesu {

struct EncodedBlock {
  uint32_t counter_start = 0;
  uint32_t counter_span = 0;
  uint32_t lamport_start = 0;
  uint32_t lamport_span = 0;
  uint32_t change_count = 0;
  ByteView header;
  ByteView change_meta;
  ByteView cids;
  ByteView keys;
  ByteView positions;
  ByteView ops;
  ByteView delete_id_starts;
  ByteView values;
};

// Bytes after the last byte string are not read. Failures are DecodeError
// "Decode block error " followed by the compact reader's description.
KesuResult<EncodedBlock> parse_encoded_block(ByteView bytes);
void write_encoded_block(const EncodedBlock& b, Bytes& out);

}  // namespace kesu
