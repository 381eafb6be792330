// Identifier redaction: one keyed hash lets telemetry count per peer or
// group without learning who the peer is, and lets redacted event streams
// keep identifiers apart without showing them.
//
// The scrub text of an identifier under a 16-byte key is the first 16 bytes
// of SHA-256(key || identifier), written as 32 lowercase hexadecimal
// characters. Key first, no separator, no length prefix. The form is fixed
// (it is a plain prefix hash, not an HMAC); cutting the digest to 16 bytes
// also denies length extension.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/bytes.h"

namespace brenvik {

inline constexpr size_t kScrubKeySize = 16;
inline constexpr size_t kScrubTextSize = 32;
using ScrubKey = std::array<uint8_t, kScrubKeySize>;

// 32 lowercase hexadecimal characters; the empty identifier hashes the key
// alone.
std::string keyed_scrub_hash(const ScrubKey& key, ByteView identifier);
inline std::string keyed_scrub_hash(const ScrubKey& key, std::string_view identifier) {
  return keyed_scrub_hash(key, as_bytes(identifier));
}

// With a key, replaces the field's content by its scrub text (an empty
// field too); without one, leaves the field exactly as it was.
void redact_identifier(std::string& field, const std::optional<ScrubKey>& key);

}  // namespace brenvik
