// The sealed envelope (routing fields around an MLS ciphertext). What
// decodes is written back byte for byte: the bytes the decoder read are the
// envelope's only encoding (anything after the ciphertext is ignored).
#include <algorithm>

#include "fuzz_target.h"
#include "sealed/encrypted_message.h"

using namespace brenvik;

BRENVIK_FUZZ_TARGET(sealed_envelope) {
  auto e = decode_sealed_envelope(input);
  if (!e.ok()) return;
  auto again = encode_sealed_envelope(*e);
  fuzz::fuzz_check(again.ok(), "a decoded envelope encodes");
  fuzz::fuzz_check(
      again->size() <= input.size() && std::equal(again->begin(), again->end(), input.begin()),
      "the envelope written is the prefix that was read");
}
