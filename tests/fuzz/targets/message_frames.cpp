// The two encodings of a message a peer sends: the compact frame (0xF5 ...)
// and the JSON text, through the dispatch every transport uses. A decoded
// message is written again in both forms, and each written form must decode.
#include "core/wire_v1.h"
#include "fuzz_target.h"
#include "transport/message_codec.h"
#include "transport/message_json.h"

using namespace brenvik;

BRENVIK_FUZZ_TARGET(message_frames) {
  auto m = decode_message(input);
  if (!m.ok()) return;
  Message msg = std::move(m).value();
  auto json = encode_message_json(msg);
  fuzz::fuzz_check(json.ok(), "a decoded message encodes as JSON");
  fuzz::fuzz_check(decode_message_json(*json).ok(), "the JSON written decodes again");
  auto wire = encode_wire_v1(msg);
  if (wire.ok()) fuzz::fuzz_check(decode_wire_v1(*wire).ok(), "the frame written decodes again");
}
