// Username discovery records and their tombstones: the signed document that
// binds a username to a device's address, identity key and the Nostr key
// that publishes it, and how a received one is read and checked before a
// lookup may trust it.
//
// Record JSON, keys in this order: "v" (1), "username" (normalized),
// "address" (address text), "pubkey" (standard base64), "nostr_author"
// (hex), "issued_at_ms", "sig" (standard base64). A tombstone is
// {"v":1,"retracted":true}.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/address.h"
#include "mls/mls_error.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik::mls {

inline constexpr std::string_view kDiscoveryLabel = "kfquzpn-kbjb-o4";
inline constexpr uint8_t kDiscoveryVersion = 1;

struct DiscoveryRecordV1 {
  uint8_t v = kDiscoveryVersion;
  std::string username;
  Address address;
  Bytes pubkey;        // 32 when valid
  Bytes nostr_author;  // 32 when valid
  uint64_t issued_at_ms = 0;
  Bytes sig;  // 64 when valid
  bool operator==(const DiscoveryRecordV1&) const = default;
};

struct DiscoveryTombstone {
  bool operator==(const DiscoveryTombstone&) const = default;
};

using DiscoveryDocument = std::variant<DiscoveryRecordV1, DiscoveryTombstone>;

struct DiscoveryRecordError {
  enum class Kind : uint8_t {
    UnsupportedVersion,
    FieldLength,
    UsernameMismatch,
    AddressMismatch,
    SignatureInvalid,
    ForeignNostrAuthor,
  };
  Kind kind = Kind::SignatureInvalid;
  uint64_t found = 0;     // UnsupportedVersion: the version; FieldLength: the length
  uint64_t expected = 0;  // UnsupportedVersion, FieldLength
  std::string field;      // FieldLength: "pubkey", "nostr_author" or "sig"
  std::string claimed;    // UsernameMismatch
  std::string queried;    // UsernameMismatch

  std::string message() const;
  bool operator==(const DiscoveryRecordError&) const = default;
};

// A received document: a tombstone when it reads as one with "retracted"
// true (its version unexamined), else a record. A document that is neither
// is Deserialization "Discovery record is malformed: " + the reader's text.
Result<DiscoveryDocument, MlsError> parse_discovery_record(ByteView document);

// The record's checks, first failure wins: version 1; pubkey 32,
// nostr_author 32, sig 64 bytes; the username equals the queried one byte
// for byte; the address derives from pubkey; the signature verifies; the
// carrying event's author is 32 bytes and equals nostr_author. The issue time
// is not compared with any clock.
Result<void, DiscoveryRecordError> verify_discovery_record(const DiscoveryRecordV1& record,
                                                           std::string_view queried_username,
                                                           ByteView event_author);

// canonical_payload("kfquzpn-kbjb-o4", {0x01, username, address text,
// pubkey, nostr_author, issued_at_ms as 8 bytes big-endian}).
Result<Bytes, MlsError> discovery_signing_payload(std::string_view username, const Address& address,
                                                  ByteView pubkey, ByteView nostr_author,
                                                  uint64_t issued_at_ms);

// The record's JSON (keys in declared order).
std::string write_discovery_record(const DiscoveryRecordV1& record);

}  // namespace brenvik::mls
