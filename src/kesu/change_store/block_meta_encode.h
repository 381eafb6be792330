// The two fields of a change block that describe its changes rather than
// their operations:
//  - `header`: peer count and table (8 bytes little-endian each), the
//    lengths of every change but the last, then the columns own-peer flags
//    (BoolRle), dependency counts (AnyRle), dependency peer indices (AnyRle),
//    dependency counters (DeltaOfDelta) and the Lamports of every change but
//    the last (DeltaOfDelta), one after another with nothing between them;
//  - `change_meta`: timestamps (DeltaOfDelta), message lengths (AnyRle),
//    then the message bytes.
// The last change's length and Lamport follow from the block's spans. A
// dependency on the change's own peer is always the op just before it and
// costs one flag bit.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kesu/change_store/block_header.h"
#include "kesu/change_store/encoded_block.h"
#include "kesu/internal/encoding/arena.h"
#include "kesu/change/change.h"

namespace kesu {

// Writes `header` and `change_meta` of a non-empty run of one peer's
// changes. Peers of dependencies join `peers` before the table is written.
std::pair<Bytes, Bytes> encode_block_meta(const std::vector<Change>& changes, PeerTable& peers);

// Decodes the `header` field of a parsed block. Every failure is a
// DecodeError whose text begins with "Decode block error". Counts read from
// the input are checked against the bytes that back them before anything is
// reserved.
KesuResult<std::shared_ptr<const ChangeBlockHeader>> decode_block_meta(const EncodedBlock& b);

// Per change: its timestamp and commit message.
struct ChangeMetaRow {
  int64_t timestamp = 0;
  std::shared_ptr<const std::string> message;
};
// Decodes `change_meta` for n changes. Column failures are the errors made
// of a columnar error; a message past the end or not UTF-8 is
// DecodeDataCorruptionError.
KesuResult<std::vector<ChangeMetaRow>> decode_change_meta(ByteView meta, size_t n);

}  // namespace kesu
