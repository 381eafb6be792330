#include "store/sealed_record.h"

#include <algorithm>

#include "crypto/aead.h"
#include "crypto/hkdf.h"
#include "crypto/random.h"
#include "crypto/sha256.h"

namespace brenvik::store {
namespace {

constexpr std::string_view kStateMagic = "BPS1";
constexpr std::string_view kMlsMagic = "BMS1";
constexpr std::string_view kStoreKeySalt = "quartz-jumbo kayak dwell nymph gazebo w9x";
static_assert(kStoreKeySalt.size() == 41);

Result<Bytes, crypto::CryptoError> seal(std::string_view magic, ByteView key, ByteView aad,
                                        ByteView plaintext) {
  Bytes out(kSealOverhead + plaintext.size());
  std::copy(magic.begin(), magic.end(), out.begin());
  std::span<uint8_t> nonce(out.data() + 4, 12);
  if (auto r = crypto::random_fill(nonce); !r.ok()) return Err(r.error());
  auto r = crypto::aead_seal(crypto::AeadAlgorithm::ChaCha20Poly1305, key, nonce, aad, plaintext,
                             std::span<uint8_t>(out.data() + 16, plaintext.size() + 16));
  if (!r.ok()) return Err(r.error());
  return out;
}

std::optional<crypto::SecretBytes> open(std::string_view magic, size_t min_size, ByteView key,
                                        ByteView aad, ByteView sealed) {
  if (sealed.size() < min_size || as_chars(sealed.first(4)) != magic) return std::nullopt;
  // 17 to 31 bytes of a state record pass the size test and are refused
  // here as the tag check would refuse them: too short to hold a tag after
  // the nonce and still frame a plaintext.
  if (sealed.size() < kSealOverhead) return std::nullopt;
  crypto::SecretBytes plain(sealed.size() - kSealOverhead);
  auto r = crypto::aead_open(crypto::AeadAlgorithm::ChaCha20Poly1305, key, sealed.subspan(4, 12),
                             aad, sealed.subspan(16), plain.span());
  if (!r.ok()) return std::nullopt;
  return plain;
}

}  // namespace

Bytes state_record_aad(std::string_view category, std::string_view key_id) {
  Bytes aad;
  aad.reserve(4 + category.size() + 1 + key_id.size());
  append(aad, as_bytes(kStateMagic));
  append(aad, as_bytes(category));
  aad.push_back(0x1F);
  append(aad, as_bytes(key_id));
  return aad;
}

Bytes mls_record_aad(std::string_view file_name) {
  Bytes aad;
  aad.reserve(4 + file_name.size());
  append(aad, as_bytes(kMlsMagic));
  append(aad, as_bytes(file_name));
  return aad;
}

Result<Bytes, crypto::CryptoError> seal_state_record(ByteView record_key, std::string_view category,
                                                     std::string_view key_id, ByteView plaintext) {
  return seal(kStateMagic, record_key, state_record_aad(category, key_id), plaintext);
}

std::optional<crypto::SecretBytes> open_state_record(ByteView record_key, std::string_view category,
                                                     std::string_view key_id, ByteView sealed) {
  return open(kStateMagic, 17, record_key, state_record_aad(category, key_id), sealed);
}

Result<Bytes, crypto::CryptoError> seal_mls_record(ByteView seal_key, std::string_view file_name,
                                                   ByteView plaintext) {
  return seal(kMlsMagic, seal_key, mls_record_aad(file_name), plaintext);
}

std::optional<crypto::SecretBytes> open_mls_record(ByteView seal_key, std::string_view file_name,
                                                   ByteView sealed) {
  return open(kMlsMagic, kSealOverhead, seal_key, mls_record_aad(file_name), sealed);
}

FileStoreKeys derive_file_store_keys(const crypto::SecretArray<32>& store_key,
                                     std::string_view ns) {
  crypto::SecretArray<32> root = crypto::hkdf_extract(as_bytes(kStoreKeySalt), store_key.view());
  const uint8_t zero = 0x00, one = 0x01;
  FileStoreKeys keys;
  // One HKDF-Expand block each: HMAC(root, info || 0x01).
  auto seal = crypto::hmac_sha256(
      root.view(), {as_bytes("seal"), ByteView(&zero, 1), as_bytes(ns), ByteView(&one, 1)});
  auto names = crypto::hmac_sha256(
      root.view(), {as_bytes("names"), ByteView(&zero, 1), as_bytes(ns), ByteView(&one, 1)});
  keys.seal_key = crypto::SecretArray<32>(ByteView(seal));
  keys.names_key = crypto::SecretArray<32>(ByteView(names));
  crypto::secure_wipe(seal.data(), seal.size());
  crypto::secure_wipe(names.data(), names.size());
  return keys;
}

Result<void, std::string> reject_zero_store_key(ByteView key) {
  if (std::all_of(key.begin(), key.end(), [](uint8_t b) { return b == 0; }))
    return Err(std::string(kZeroStoreKeyText));
  return {};
}

Result<crypto::SecretArray<32>, std::string> validate_store_key(ByteView key) {
  if (key.size() != 32) return Err("a store key is 32 bytes, got " + std::to_string(key.size()));
  if (auto r = reject_zero_store_key(key); !r.ok()) return Err(r.error());
  return crypto::SecretArray<32>(key);
}

Result<crypto::SecretArray<32>, StoreKeyError> parse_store_key(ByteView key) {
  auto r = validate_store_key(key);
  if (!r.ok()) return Err(StoreKeyError{r.error()});
  return std::move(r).value();
}

}  // namespace brenvik::store
