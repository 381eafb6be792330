#include "mls/discovery_record.h"

#include <algorithm>

#include "core/username.h"
#include "mls/identity.h"
#include "sealed/canonical_payload.h"
#include "util/base64.h"
#include "util/hex.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik::mls {
namespace {

constexpr JsonField kTombstoneFields[] = {
    {"v", FieldRule::Required},
    {"retracted", FieldRule::Required},
};

constexpr JsonField kRecordFields[] = {
    {"v", FieldRule::Required},
    {"username", FieldRule::Required},
    {"address", FieldRule::Required},
    {"pubkey", FieldRule::Required},
    {"nostr_author", FieldRule::Required},
    {"issued_at_ms", FieldRule::Required},
    {"sig", FieldRule::Required},
};

// True when the document reads as a tombstone with "retracted" true.
bool is_tombstone(ByteView document) {
  JsonReader r(document);
  bool retracted = false;
  auto st =
      read_record(r, "struct DiscoveryTombstoneV1", kTombstoneFields, [&](size_t i) -> JsonStatus {
        if (i == 0) return r.read_u8().ok() ? JsonStatus{} : Err(r.error("v"));
        BRENVIK_TRY(retracted, r.read_bool());
        return {};
      });
  if (st.ok()) st = r.finish();
  return st.ok() && retracted;
}

Result<Bytes, JsonError> read_base64(JsonReader& r) {
  BRENVIK_TRY(std::string_view text, r.read_string_view());
  auto b = base64_decode(text);
  if (!b.ok())
    return Err(r.error("invalid base64: " + std::string(codec_error_message(b.error()))));
  return std::move(b).value();
}

Result<DiscoveryRecordV1, JsonError> read_record_v1(ByteView document) {
  JsonReader r(document);
  DiscoveryRecordV1 rec;
  auto st = read_record(r, "struct DiscoveryRecordV1", kRecordFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        BRENVIK_TRY(rec.v, r.read_u8());
        return {};
      }
      case 1: {
        BRENVIK_TRY(rec.username, r.read_string());
        auto norm = normalize_username(rec.username);
        if (!norm.ok()) return Err(r.error(norm.error().message()));
        if (norm.value() != rec.username) return Err(r.error("username is not in normalized form"));
        return {};
      }
      case 2: {
        BRENVIK_TRY(std::string_view text, r.read_string_view());
        auto a = parse_address(text);
        if (!a.ok()) return Err(r.error(a.error().message()));
        rec.address = a.value();
        return {};
      }
      case 3: {
        BRENVIK_TRY(rec.pubkey, read_base64(r));
        return {};
      }
      case 4: {
        BRENVIK_TRY(std::string_view text, r.read_string_view());
        auto h = hex_decode(text);
        if (!h.ok())
          return Err(r.error("invalid hex: " + std::string(codec_error_message(h.error()))));
        rec.nostr_author = std::move(h).value();
        return {};
      }
      case 5: {
        BRENVIK_TRY(rec.issued_at_ms, r.read_u64());
        return {};
      }
      case 6: {
        BRENVIK_TRY(rec.sig, read_base64(r));
        return {};
      }
    }
    return {};
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(st.error());
  return rec;
}

DiscoveryRecordError field_length(std::string_view field, size_t length, size_t expected) {
  DiscoveryRecordError e;
  e.kind = DiscoveryRecordError::Kind::FieldLength;
  e.field = std::string(field);
  e.found = length;
  e.expected = expected;
  return e;
}

DiscoveryRecordError simple(DiscoveryRecordError::Kind k) {
  DiscoveryRecordError e;
  e.kind = k;
  return e;
}

}  // namespace

std::string DiscoveryRecordError::message() const {
  switch (kind) {
    case Kind::UnsupportedVersion:
      return "discovery record version is " + std::to_string(found) + ", expected " +
             std::to_string(expected);
    case Kind::FieldLength:
      return "discovery record field '" + field + "' is " + std::to_string(found) +
             " bytes, expected " + std::to_string(expected);
    case Kind::UsernameMismatch:
      return "discovery record claims '" + claimed + "' but '" + queried + "' was queried";
    case Kind::AddressMismatch:
      return "discovery record address is not the address its public key derives to";
    case Kind::SignatureInvalid:
      return "discovery record signature does not verify";
    case Kind::ForeignNostrAuthor:
      return "discovery record was published under a foreign Nostr key";
  }
  return {};
}

Result<DiscoveryDocument, MlsError> parse_discovery_record(ByteView document) {
  if (is_tombstone(document)) return DiscoveryDocument(DiscoveryTombstone{});
  auto rec = read_record_v1(document);
  if (!rec.ok())
    return Err(MlsError::deserialization("Discovery record is malformed: " + rec.error().message));
  return DiscoveryDocument(std::move(rec).value());
}

Result<void, DiscoveryRecordError> verify_discovery_record(const DiscoveryRecordV1& record,
                                                           std::string_view queried_username,
                                                           ByteView event_author) {
  using K = DiscoveryRecordError::Kind;
  if (record.v != kDiscoveryVersion) {
    DiscoveryRecordError e = simple(K::UnsupportedVersion);
    e.found = record.v;
    e.expected = kDiscoveryVersion;
    return Err(std::move(e));
  }
  if (record.pubkey.size() != 32) return Err(field_length("pubkey", record.pubkey.size(), 32));
  if (record.nostr_author.size() != 32)
    return Err(field_length("nostr_author", record.nostr_author.size(), 32));
  if (record.sig.size() != 64) return Err(field_length("sig", record.sig.size(), 64));
  if (record.username != queried_username) {
    DiscoveryRecordError e = simple(K::UsernameMismatch);
    e.claimed = record.username;
    e.queried = std::string(queried_username);
    return Err(std::move(e));
  }
  auto derived = address_from_public_key(record.pubkey);
  if (!derived.ok() || derived.value() != record.address) return Err(simple(K::AddressMismatch));
  auto payload = discovery_signing_payload(record.username, record.address, record.pubkey,
                                           record.nostr_author, record.issued_at_ms);
  if (!payload.ok()) return Err(simple(K::SignatureInvalid));
  auto ok = verify_ed25519_signature(record.pubkey, payload.value(), record.sig);
  if (!ok.ok() || !ok.value()) return Err(simple(K::SignatureInvalid));
  if (event_author.size() != 32 || !std::ranges::equal(event_author, record.nostr_author))
    return Err(simple(K::ForeignNostrAuthor));
  return {};
}

Result<Bytes, MlsError> discovery_signing_payload(std::string_view username, const Address& address,
                                                  ByteView pubkey, ByteView nostr_author,
                                                  uint64_t issued_at_ms) {
  const uint8_t version = kDiscoveryVersion;
  const std::string text = encode_address(address);
  Bytes issued;
  put_u64_be(issued, issued_at_ms);
  auto p = canonical_payload(kDiscoveryLabel, {ByteView(&version, 1), as_bytes(username),
                                               as_bytes(text), pubkey, nostr_author, issued});
  if (!p.ok()) return Err(mls_error_from(p.error()));
  return std::move(p).value();
}

std::string write_discovery_record(const DiscoveryRecordV1& record) {
  JsonWriter w(256);
  w.begin_object();
  w.field_u64("v", record.v);
  w.field_str("username", record.username);
  w.field_str("address", encode_address(record.address));
  w.field_str("pubkey", base64_encode(record.pubkey));
  w.field_str("nostr_author", hex_encode(record.nostr_author));
  w.field_u64("issued_at_ms", record.issued_at_ms);
  w.field_str("sig", base64_encode(record.sig));
  w.end_object();
  return w.take();
}

}  // namespace brenvik::mls
