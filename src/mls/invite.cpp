#include "mls/invite.h"

#include <algorithm>
#include <limits>

#include "core/username.h"
#include "crypto/ed25519.h"
#include "mls/identity.h"
#include "sealed/canonical_payload.h"
#include "util/base64.h"
#include "util/utf8.h"

namespace brenvik::mls {
namespace {

std::string num(uint64_t v) {
  return std::to_string(v);
}

// Length in bytes of the Unicode White_Space character that ends at `end`
// (exclusive) or starts at `begin`, 0 when there is none.
size_t white_space_len(std::string_view s, size_t at) {
  auto u = [&](size_t i) { return i < s.size() ? uint8_t(s[i]) : 0; };
  uint8_t c = u(at);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && (u(at + 1) == 0x85 || u(at + 1) == 0xA0)) return 2;
  if (c == 0xE1 && u(at + 1) == 0x9A && u(at + 2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && u(at + 1) == 0x80) {
    uint8_t d = u(at + 2);
    if ((d >= 0x80 && d <= 0x8A) || d == 0xA8 || d == 0xA9 || d == 0xAF) return 3;
  }
  if (c == 0xE2 && u(at + 1) == 0x81 && u(at + 2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && u(at + 1) == 0x80 && u(at + 2) == 0x80) return 3;  // U+3000
  return 0;
}

std::string_view trim_unicode_white_space(std::string_view s) {
  for (size_t n; !s.empty() && (n = white_space_len(s, 0)) > 0;) s.remove_prefix(n);
  for (bool cut = true; cut && !s.empty();) {
    cut = false;
    for (size_t n = 1; n <= 3 && n <= s.size(); ++n) {
      if (white_space_len(s, s.size() - n) == n) {
        s.remove_suffix(n);
        cut = true;
        break;
      }
    }
  }
  return s;
}

std::string flags_binary(uint8_t flags) {
  std::string out = "0b";
  for (int bit = 7; bit >= 0; --bit) out.push_back((flags >> bit) & 1 ? '1' : '0');
  return out;
}

MlsError public_key_length_error(size_t n) {
  return MlsError::invalid_public_key("Ed25519 public key must be 32 bytes, got " + num(n));
}

}  // namespace

Result<ByteView, MlsError> InviteCursor::read(size_t n, std::string_view field) {
  if (n > std::numeric_limits<size_t>::max() - pos_)
    return Err(MlsError::invalid_message("Invite " + std::string(field) + " length overflows"));
  if (bytes_.size() < pos_ + n) return Err(truncated(field, n));
  ByteView out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

Result<uint8_t, MlsError> InviteCursor::read_byte(std::string_view field) {
  if (pos_ == std::numeric_limits<size_t>::max())
    return Err(MlsError::invalid_message("Invite " + std::string(field) + " length overflows"));
  if (pos_ >= bytes_.size()) return Err(truncated(field, 1));
  return bytes_[pos_++];
}

Result<void, MlsError> InviteCursor::finish() const {
  if (pos_ != bytes_.size())
    return Err(
        MlsError::invalid_message("Invite has " + num(bytes_.size() - pos_) + " trailing bytes"));
  return {};
}

MlsError InviteCursor::truncated(std::string_view field, size_t needed) const {
  size_t remaining = pos_ < bytes_.size() ? bytes_.size() - pos_ : 0;
  return MlsError::invalid_message("Invite is truncated: " + std::string(field) + " needs " +
                                   num(needed) + " bytes, " + num(remaining) + " remain");
}

MlsError invite_address_not_utf8() {
  return MlsError::invalid_message("Invite address is not UTF-8");
}
MlsError invite_petname_not_utf8() {
  return MlsError::invalid_message("Invite petname is not UTF-8");
}
MlsError invite_address_invalid(const AddressError& e) {
  return MlsError::invalid_message("Invite address is invalid: " + e.message());
}

Result<Bytes, MlsError> invite_signing_payload(const Address& address, ByteView public_key,
                                               std::optional<std::string_view> petname) {
  const uint8_t version = kInviteVersion;
  std::string text = encode_address(address);
  std::string_view pet = petname.value_or(std::string_view());
  auto p = canonical_payload(kInviteLabel,
                             {ByteView(&version, 1), as_bytes(text), public_key, as_bytes(pet)});
  if (!p.ok()) return Err(mls_error_from(p.error()));
  return std::move(p).value();
}

Result<std::string, MlsError> create_invite(const Address& address, ByteView public_key,
                                            std::optional<std::string_view> petname,
                                            std::optional<ByteView> signature) {
  if (public_key.size() != crypto::kEd25519PublicKeySize)
    return Err(public_key_length_error(public_key.size()));
  BRENVIK_TRY(Address derived, address_from_public_key(public_key));
  if (derived != address)
    return Err(
        MlsError::serialization("Invite address is not the address this public key derives to"));
  if (petname && petname->empty()) petname.reset();
  if (petname && petname->size() > kMaxPetnameBytes)
    return Err(MlsError::serialization("Invite petname is " + num(petname->size()) +
                                       " bytes, maximum is " + num(kMaxPetnameBytes)));
  if (petname && contains_control_or_format_char(*petname))
    return Err(MlsError::serialization("Invite petname contains a control or format character"));
  if (signature && signature->size() != crypto::kEd25519SignatureSize)
    return Err(MlsError::serialization("Invite signature must be 64 bytes, got " +
                                       num(signature->size())));
  const std::string text = encode_address(address);
  Bytes out;
  out.reserve(35 + text.size() + 65 + 64);
  out.push_back(kInviteVersion);
  out.push_back(
      uint8_t((petname ? kInviteFlagPetname : 0) | (signature ? kInviteFlagSignature : 0)));
  append(out, public_key);
  out.push_back(uint8_t(text.size()));
  append(out, as_bytes(text));
  if (petname) {
    out.push_back(uint8_t(petname->size()));
    append(out, as_bytes(*petname));
  }
  if (signature) append(out, *signature);
  return base64url_encode(out);
}

Result<DecodedInvite, MlsError> decode_invite(std::string_view text) {
  auto raw = base64url_decode(trim_unicode_white_space(text));
  if (!raw.ok())
    return Err(MlsError::invalid_message("Invite is not base64url: " +
                                         std::string(codec_error_message(raw.error()))));
  const Bytes& bytes = raw.value();
  InviteCursor c(bytes);
  BRENVIK_TRY(uint8_t version, c.read_byte("version"));
  if (version != kInviteVersion)
    return Err(MlsError::invalid_message("Unsupported invite version " + num(version) +
                                         ", expected " + num(kInviteVersion)));
  BRENVIK_TRY(uint8_t flags, c.read_byte("flags"));
  if (flags > (kInviteFlagPetname | kInviteFlagSignature))
    return Err(
        MlsError::invalid_message("Invite carries unknown flag bits: " + flags_binary(flags)));
  BRENVIK_TRY(ByteView key, c.read(crypto::kEd25519PublicKeySize, "public key"));
  BRENVIK_TRY(uint8_t address_len, c.read_byte("address length"));
  BRENVIK_TRY(ByteView address_bytes, c.read(address_len, "address"));
  if (!validate_utf8(address_bytes).ok()) return Err(invite_address_not_utf8());
  auto address = parse_address(as_chars(address_bytes));
  if (!address.ok()) return Err(invite_address_invalid(address.error()));

  DecodedInvite out;
  if (flags & kInviteFlagPetname) {
    BRENVIK_TRY(uint8_t len, c.read_byte("petname length"));
    if (len == 0)
      return Err(
          MlsError::invalid_message("Invite sets the petname flag but carries an empty petname"));
    if (len > kMaxPetnameBytes)
      return Err(MlsError::invalid_message("Invite petname is " + num(len) + " bytes, maximum is " +
                                           num(kMaxPetnameBytes)));
    BRENVIK_TRY(ByteView pet, c.read(len, "petname"));
    if (!validate_utf8(pet).ok()) return Err(invite_petname_not_utf8());
    if (contains_control_or_format_char(as_chars(pet)))
      return Err(
          MlsError::invalid_message("Invite petname contains a control or format character"));
    out.petname = std::string(as_chars(pet));
  }
  std::optional<ByteView> signature;
  if (flags & kInviteFlagSignature) {
    BRENVIK_TRY(signature, c.read(crypto::kEd25519SignatureSize, "signature"));
  }
  BRENVIK_TRY_VOID(c.finish());

  BRENVIK_TRY(Address derived, address_from_public_key(key));
  if (derived != address.value())
    return Err(MlsError::verification_failed(
        "Invite address is not the address its public key derives to"));
  if (signature) {
    BRENVIK_TRY(Bytes payload, invite_signing_payload(derived, key, out.petname));
    BRENVIK_TRY(bool ok, verify_ed25519_signature(key, payload, *signature));
    if (!ok)
      return Err(
          MlsError::verification_failed("Invite signature does not verify under its public key"));
  }
  out.public_key.assign(key.begin(), key.end());
  out.address = derived;
  out.verified = signature.has_value();
  return out;
}

Result<Address, MlsError> check_identity_assertion(ByteView assertion) {
  if (assertion.size() < kIdentityAssertionMinimum)
    return Err(MlsError::deserialization("Identity assertion is " + num(assertion.size()) +
                                         " bytes, minimum is " + num(kIdentityAssertionMinimum)));
  ByteView key = assertion.first(32);
  ByteView signature = assertion.subspan(32, 64);
  ByteView payload = assertion.subspan(96);
  auto v = crypto::ed25519_verify(key, payload, signature, crypto::Ed25519Verification::Strict);
  if (!v.ok()) {
    // A key that does not decode is the key's fault; a key of small order
    // decodes, and is refused as a signature that does not verify.
    if (v.error() == crypto::CryptoError::InvalidPublicKey ||
        v.error() == crypto::CryptoError::NonCanonicalPublicKey)
      return Err(MlsError::invalid_public_key("Invalid Ed25519 public key: " +
                                              std::string(kSignatureErrorText)));
  }
  if (!v.ok() || !v.value())
    return Err(MlsError::verification_failed(
        "Identity assertion signature does not verify under its public key"));
  return address_from_public_key(key);
}

Result<Bytes, MlsError> join_identity_assertion(ByteView public_key, ByteView signature,
                                                ByteView payload) {
  auto joined = check_identity_assertion_sizes(public_key, signature, payload);
  if (!joined.ok()) return Err(mls_error_from(joined.error()));
  return std::move(joined).value();
}

}  // namespace brenvik::mls
