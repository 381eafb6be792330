// LZ4 frame compression of block payloads (the published LZ4 frame format).
#pragma once

#include <cstddef>
#include <string>

#include "util/bytes.h"
#include "util/result.h"

namespace kesu {

// Appends one LZ4 frame holding `plain` to `out`. The frame records its
// content size and carries no content checksum: the table's own block
// checksum already covers the stored bytes.
void lz4_frame_compress(brenvik::ByteView plain, brenvik::Bytes& out);

// Decodes every frame in `frame` (concatenated and skippable frames are
// accepted, as any conforming decoder does). Refuses, with a message, input
// that is not a complete sequence of valid frames and content longer than
// `max_output` bytes: the limit is checked while decoding, so a hostile frame
// never makes us allocate more than max_output + 1 bytes.
brenvik::Result<brenvik::Bytes, std::string> lz4_frame_decompress(brenvik::ByteView frame,
                                                                  size_t max_output);

}  // namespace kesu
