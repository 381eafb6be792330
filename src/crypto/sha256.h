// SHA-256 (FIPS 180-4) and HMAC-SHA-256 (RFC 2104).
#pragma once

#include <array>
#include <initializer_list>
#include <span>

#include "util/bytes.h"

namespace brenvik::crypto {

inline constexpr size_t kSha256Size = 32;
using Digest32 = std::array<uint8_t, kSha256Size>;

// One-shot digest; no heap allocation.
Digest32 sha256(ByteView data);
// Digest of the concatenation of parts, without building it.
Digest32 sha256(std::initializer_list<ByteView> parts);

// Incremental digest for data that arrives in pieces. Owns an OpenSSL
// context; movable, not copyable.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&& o) noexcept : ctx_(o.ctx_) { o.ctx_ = nullptr; }
  Sha256& operator=(Sha256&& o) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  Sha256& update(ByteView data);
  // Returns the digest and resets the object for a new message.
  Digest32 finish();

 private:
  void* ctx_;
};

// HMAC-SHA-256 of data under key (any key length). No heap allocation.
Digest32 hmac_sha256(ByteView key, ByteView data);
// HMAC of the concatenation of parts.
Digest32 hmac_sha256(ByteView key, std::initializer_list<ByteView> parts);
Digest32 hmac_sha256_parts(ByteView key, std::span<const ByteView> parts);

}  // namespace brenvik::crypto
