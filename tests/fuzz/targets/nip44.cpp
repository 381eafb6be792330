// NIP-44 v2 decryption. The first byte picks the mode; then 32 bytes of
// conversation key:
//   0: the rest is a payload as received (the published vectors decrypt);
//   1: 32 bytes of nonce, then a frame (length prefix, text, padding) that
//      is sealed properly before it is decrypted, so that the frame checks
//      behind the MAC see every byte.
// A text that decrypts must encrypt again and decrypt to itself (the padding
// bytes are not checked by receivers, so the payloads may differ there).
#include <algorithm>

#include "crypto/nip44.h"
#include "fuzz_input.h"
#include "fuzz_target.h"

using namespace brenvik;
namespace nip44 = brenvik::crypto::nip44;

BRENVIK_FUZZ_TARGET(nip44) {
  fuzz::InputReader r(input);
  const uint8_t mode = r.u8() % 2;
  ByteView key = r.take(32);
  if (key.size() != 32) return;
  Bytes payload;
  if (mode == 0) {
    ByteView p = r.rest();
    payload.assign(p.begin(), p.end());
  } else {
    ByteView nonce = r.take(32);
    if (nonce.size() != 32) return;
    ByteView frame = r.rest();
    payload.assign(nip44::payload_size(frame.size()), 0);
    std::copy(frame.begin(), frame.end(), payload.begin() + nip44::kHeaderSize);
    if (!nip44::seal_payload(key, nonce, payload).ok()) return;
  }
  auto plain = nip44::decrypt(key, payload);
  if (!plain.ok()) return;
  ByteView nonce = ByteView(payload).subspan(1, 32);
  auto again = nip44::encrypt_with_nonce(key, *plain, nonce);
  fuzz::fuzz_check(again.ok(), "a text that decrypts encrypts again");
  auto back = nip44::decrypt(key, *again);
  fuzz::fuzz_check(back.ok() && *back == *plain, "the text encrypted again decrypts to itself");
}
