// KeyPackageBundle: one entry of the device's key-package pool ("key_package"
// / package id), and its stored JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kKeyPackagePoolType = "key_package";
inline constexpr uint64_t kPoolLifetimeMs = 2'592'000'000;  // 30 days
inline constexpr uint64_t kPoolGraceMs = 604'800'000;       // 7 days after expiry
inline constexpr size_t kPushPoolCapacity = 64;

struct KeyPackageBundle {
  std::string package_id;
  std::string user_id;
  Bytes key_package_data;  // TLS encoding of the KeyPackage
  uint64_t created_at_ms = 0;
  uint64_t expires_at_ms = 0;
  bool synced = false;
  bool reserved_for_publication = false;
  std::optional<std::string> assigned_peer;
  // The KeyPackageRef as a TLS variable-length vector.
  std::optional<Bytes> provider_hash_ref;

  // created now, expiring after `lifetime_s`; not synced, not reserved.
  static KeyPackageBundle make(std::string package_id, std::string user_id, Bytes data,
                               uint64_t now_ms, uint64_t lifetime_s);
  uint64_t remaining_lifetime_ms(uint64_t now_ms) const {
    return now_ms >= expires_at_ms ? 0 : expires_at_ms - now_ms;
  }
  // Neither synced nor reserved for publication.
  bool live() const { return !synced && !reserved_for_publication; }
  bool operator==(const KeyPackageBundle&) const = default;
};

// Keys in table order, no white space.
std::string write_key_package_bundle(const KeyPackageBundle& b);
// The first six keys required; the rest optional; unknown keys skipped.
Result<KeyPackageBundle, std::string> read_key_package_bundle(ByteView bytes);

}  // namespace brenvik::mls
