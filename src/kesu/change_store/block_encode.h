// The change-block codec: a run of consecutive changes of one peer as one
// self-contained record (EncodedBlock). Every peer, key, container and tree
// position is written once in a table of the block and referred to by
// index; ops are rows of four columns (container index, prop, value kind,
// length) with their values one after another in `values`, and deletions
// add a row of three columns (first deleted id's peer index and counter,
// signed length). Counters and Lamports of ops are not stored: they follow
// from the change lengths and Lamports of the header.
#pragma once

#include <memory>
#include <vector>

#include "kesu/change_store/block_header.h"
#include "kesu/common/error.h"
#include "kesu/change/change.h"
#include "kesu/shared_arena/shared_arena.h"

namespace kesu {

// REQUIRES: a non-empty run of one peer's changes with contiguous counters,
// whose ops refer to containers, values and text of `arena`. A broken
// requirement is an internal error (thrown).
Bytes encode_change_block(const std::vector<Change>& changes, const SharedArena& arena);

// Decodes only the outer record and the header.
KesuResult<std::shared_ptr<const ChangeBlockHeader>> read_block_header(ByteView bytes);

// Rebuilds the changes. `header` is the block's decoded header when the
// caller has one (its arena cache is filled by this call), else null. On
// success every container, list value and text of the block is registered
// in `arena`; a failure may leave some registered, and returns the error.
// Inconsistent operation data is DecodeDataCorruptionError. Memory is
// bounded by the input: at most kMaxOpsBase + kMaxOpsPerByte * size ops.
KesuResult<std::vector<Change>> decode_change_block(
    ByteView bytes, const std::shared_ptr<const ChangeBlockHeader>& header, SharedArena& arena);

// Op rows a block may hold beyond what its bytes account for: runs of equal
// rows cost almost nothing to write, and a block made by the store holds at
// most about 4096 ops of the smallest size.
inline constexpr size_t kMaxOpsBase = 4096;
inline constexpr size_t kMaxOpsPerByte = 16;

// Whether a counter increment is written as an integer: its magnitude fits
// 27 bits and it has no fractional part.
bool counter_delta_is_integer(double x);

// The container ids of a block's container arena (decoding the header when
// none is given), for callers that need no ops.
KesuResult<std::vector<ContainerID>> decode_block_containers(
    ByteView bytes, const std::shared_ptr<const ChangeBlockHeader>& header);

}  // namespace kesu
