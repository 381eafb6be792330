#include "crypto/hkdf.h"

#include "crypto/sha256.h"

namespace brenvik::crypto {
namespace {

Result<void, CryptoError> expand_parts(ByteView prk, std::initializer_list<ByteView> info,
                                       std::span<uint8_t> out) {
  if (prk.size() < kSha256Size || out.size() > kHkdfMaxOutput) {
    if (!out.empty()) secure_wipe(out.data(), out.size());
    return Err(prk.size() < kSha256Size ? CryptoError::InvalidKeyLength
                                        : CryptoError::OutputTooLong);
  }
  // T(i) = HMAC(PRK, T(i-1) | info | i). At most 2 + |info| parts per block.
  constexpr size_t kMaxParts = 16;
  if (info.size() > kMaxParts - 2) return Err(CryptoError::InvalidLength);
  ByteView parts[kMaxParts];
  Digest32 t{};
  size_t done = 0;
  uint8_t counter = 0;
  while (done < out.size()) {
    ++counter;
    size_t n = 0;
    if (counter > 1) parts[n++] = ByteView(t);
    for (ByteView p : info) parts[n++] = p;
    parts[n++] = ByteView(&counter, 1);
    Digest32 next = hmac_sha256_parts(prk, std::span<const ByteView>(parts, n));
    t = next;
    secure_wipe(next.data(), next.size());
    const size_t take = std::min(out.size() - done, kSha256Size);
    std::memcpy(out.data() + done, t.data(), take);
    done += take;
  }
  secure_wipe(t.data(), t.size());
  return Ok<CryptoError>();
}

SecretArray<32> extract_parts(ByteView salt, std::span<const ByteView> ikm) {
  static constexpr uint8_t kZeroSalt[kSha256Size] = {};
  if (salt.empty()) salt = ByteView(kZeroSalt, sizeof kZeroSalt);
  Digest32 prk = hmac_sha256_parts(salt, ikm);
  SecretArray<32> out(prk);
  secure_wipe(prk.data(), prk.size());
  return out;
}

}  // namespace

SecretArray<32> hkdf_extract(ByteView salt, ByteView ikm) {
  return extract_parts(salt, std::span<const ByteView>(&ikm, 1));
}

SecretArray<32> hkdf_extract(ByteView salt, std::initializer_list<ByteView> ikm_parts) {
  return extract_parts(salt, std::span<const ByteView>(ikm_parts.begin(), ikm_parts.size()));
}

Result<void, CryptoError> hkdf_expand(ByteView prk, ByteView info, std::span<uint8_t> out) {
  return expand_parts(prk, std::initializer_list<ByteView>{info}, out);
}

Result<void, CryptoError> hkdf_expand(ByteView prk, std::initializer_list<ByteView> info_parts,
                                      std::span<uint8_t> out) {
  return expand_parts(prk, info_parts, out);
}

Result<SecretBytes, CryptoError> hkdf_expand(ByteView prk, ByteView info, size_t length) {
  if (length > kHkdfMaxOutput) return Err(CryptoError::OutputTooLong);
  SecretBytes out(length);
  BRENVIK_TRY_VOID(expand_parts(prk, std::initializer_list<ByteView>{info}, out.span()));
  return out;
}

}  // namespace brenvik::crypto
