#include "crypto/nip44.h"

#include <bit>

#include "crypto/aead.h"
#include "crypto/hkdf.h"
#include "crypto/random.h"
#include "crypto/secp256k1.h"
#include "crypto/sha256.h"

namespace brenvik::crypto::nip44 {
namespace {

constexpr uint8_t kSalt[] = {'n', 'i', 'p', '4', '4', '-', 'v', '2'};

Error err(Error::Kind k, uint64_t size = 0, uint64_t limit = 0, std::string detail = {}) {
  return Error{k, size, limit, std::move(detail)};
}

Result<void, Error> check_conversation_key(ByteView ck) {
  if (ck.size() != 32)
    return Err(err(Error::Kind::InvalidConversationKey, ck.size(), 32,
                   "expected 32 bytes, got " + std::to_string(ck.size())));
  return Ok<Error>();
}

}  // namespace

std::string Error::message() const {
  switch (kind) {
    case Kind::PeerKeyLength:
      return "NIP-44: peer public key must be 32 bytes";
    case Kind::PeerKeyNotOnCurve:
      return "NIP-44: peer public key is not a valid curve point";
    case Kind::InvalidSecret:
      return "NIP-44: own secret key is not a valid scalar";
    case Kind::InvalidConversationKey:
      return "NIP-44: invalid conversation key: " + detail;
    case Kind::InvalidNonce:
      return "NIP-44: nonce must be 32 bytes";
    case Kind::RandomFailure:
      return "NIP-44: OS RNG failure: " + detail;
    case Kind::PlaintextEmpty:
      return "NIP-44: plaintext must be at least 1 byte";
    case Kind::PlaintextTooLarge:
      return "NIP-44: plaintext too large: " + std::to_string(size) + " bytes exceeds limit of " +
             std::to_string(limit) + " bytes";
    case Kind::PayloadTooShort:
      return "NIP-44: payload too short: " + std::to_string(size) + " bytes";
    case Kind::PayloadTooLarge:
      return "NIP-44: payload too large: " + std::to_string(size) + " bytes exceeds limit of " +
             std::to_string(limit) + " bytes";
    case Kind::UnsupportedVersion:
      return "NIP-44: unsupported version " + std::to_string(size);
    case Kind::MacMismatch:
      return "NIP-44: MAC mismatch";
    case Kind::InvalidPadding:
      return "NIP-44: invalid padding";
  }
  return "NIP-44: unknown error";
}

Result<ConversationKey, Error> conversation_key(ByteView own_secret, ByteView peer_public) {
  if (peer_public.size() != 32) return Err(err(Error::Kind::PeerKeyLength, peer_public.size()));
  auto x = secp256k1_ecdh_x(own_secret, peer_public);
  if (!x.ok()) {
    switch (x.error()) {
      case CryptoError::InvalidPublicKey:
        return Err(err(Error::Kind::PeerKeyNotOnCurve));
      default:
        return Err(err(Error::Kind::InvalidSecret));
    }
  }
  return hkdf_extract(ByteView(kSalt), x->view());
}

Result<MessageKeys, Error> message_keys(ByteView ck, ByteView nonce) {
  BRENVIK_TRY_VOID(check_conversation_key(ck));
  if (nonce.size() != kNonceSize)
    return Err(err(Error::Kind::InvalidNonce, nonce.size(), kNonceSize));
  SecretArray<76> okm;
  if (!hkdf_expand(ck, nonce, okm.span()).ok())
    return Err(err(Error::Kind::InvalidConversationKey, ck.size(), 32, "expansion failed"));
  MessageKeys k;
  std::memcpy(k.chacha_key.data(), okm.data(), 32);
  std::memcpy(k.chacha_nonce.data(), okm.data() + 32, 12);
  std::memcpy(k.hmac_key.data(), okm.data() + 44, 32);
  return k;
}

size_t padded_length(size_t length) {
  if (length <= 32) return 32;
  const size_t next_power = std::bit_ceil(length);
  const size_t chunk = next_power <= 256 ? 32 : next_power / 8;
  return chunk * ((length - 1) / chunk + 1);
}

Result<void, Error> seal_payload(ByteView ck, ByteView nonce, std::span<uint8_t> payload) {
  if (nonce.size() != kNonceSize) return Err(err(Error::Kind::InvalidNonce, nonce.size()));
  if (payload.size() < payload_size(0)) return Err(err(Error::Kind::InvalidPadding));
  BRENVIK_TRY(auto keys, message_keys(ck, nonce));
  payload[0] = kVersion;
  std::memcpy(payload.data() + 1, nonce.data(), kNonceSize);
  auto body = payload.subspan(kHeaderSize, payload.size() - kHeaderSize - kMacSize);
  if (!chacha20_xor(keys.chacha_key.view(), keys.chacha_nonce.view(), 0, body, body).ok())
    return Err(err(Error::Kind::InvalidConversationKey, 0, 0, "cipher failure"));
  const Digest32 mac =
      hmac_sha256(keys.hmac_key.view(), payload.subspan(1, payload.size() - 1 - kMacSize));
  std::memcpy(payload.data() + payload.size() - kMacSize, mac.data(), kMacSize);
  return Ok<Error>();
}

Result<Bytes, Error> open_payload(ByteView ck, ByteView payload, size_t max_payload) {
  BRENVIK_TRY_VOID(check_conversation_key(ck));
  if (payload.size() < kMinPayloadSize)
    return Err(err(Error::Kind::PayloadTooShort, payload.size(), kMinPayloadSize));
  if (payload.size() > max_payload)
    return Err(err(Error::Kind::PayloadTooLarge, payload.size(), max_payload));
  if (payload[0] != kVersion) return Err(err(Error::Kind::UnsupportedVersion, payload[0]));
  const ByteView nonce = payload.subspan(1, kNonceSize);
  BRENVIK_TRY(auto keys, message_keys(ck, nonce));
  const ByteView authenticated = payload.subspan(1, payload.size() - 1 - kMacSize);
  const Digest32 mac = hmac_sha256(keys.hmac_key.view(), authenticated);
  if (!ct_equal(mac, payload.last(kMacSize))) return Err(err(Error::Kind::MacMismatch));
  const ByteView ct = payload.subspan(kHeaderSize, payload.size() - kHeaderSize - kMacSize);
  Bytes body(ct.begin(), ct.end());
  if (!chacha20_xor(keys.chacha_key.view(), keys.chacha_nonce.view(), 0, body, body).ok())
    return Err(err(Error::Kind::InvalidConversationKey, 0, 0, "cipher failure"));
  return body;
}

Result<Bytes, Error> encrypt_with_nonce(ByteView ck, ByteView plaintext, ByteView nonce) {
  BRENVIK_TRY_VOID(check_conversation_key(ck));
  if (plaintext.size() < kMinPlaintextSize) return Err(err(Error::Kind::PlaintextEmpty));
  if (plaintext.size() > kMaxPlaintextSize)
    return Err(err(Error::Kind::PlaintextTooLarge, plaintext.size(), kMaxPlaintextSize));
  // One allocation at the final size; the frame is encrypted in place.
  const size_t body = 2 + padded_length(plaintext.size());
  Bytes payload(payload_size(body), 0);
  payload[kHeaderSize] = uint8_t(plaintext.size() >> 8);
  payload[kHeaderSize + 1] = uint8_t(plaintext.size());
  std::memcpy(payload.data() + kHeaderSize + 2, plaintext.data(), plaintext.size());
  BRENVIK_TRY_VOID(seal_payload(ck, nonce, payload));
  return payload;
}

Result<Bytes, Error> encrypt(ByteView ck, ByteView plaintext) {
  uint8_t nonce[kNonceSize];
  if (!random_fill(nonce).ok())
    return Err(err(Error::Kind::RandomFailure, 0, 0, last_random_failure_reason()));
  return encrypt_with_nonce(ck, plaintext, nonce);
}

Result<Bytes, Error> decrypt(ByteView ck, ByteView payload) {
  BRENVIK_TRY(Bytes body, open_payload(ck, payload, kMaxPayloadSize));
  const size_t length = load_u16_be(body.data());
  if (length == 0 || body.size() != 2 + padded_length(length))
    return Err(err(Error::Kind::InvalidPadding));
  // Drop the prefix and padding without another allocation; the padding
  // bytes are not checked, as NIP-44 prescribes.
  body.erase(body.begin(), body.begin() + 2);
  secure_wipe(body.data() + length, body.size() - length);
  body.resize(length);
  return body;
}

}  // namespace brenvik::crypto::nip44
