// GroupContext (RFC 9420 §8.1): the summary of a group's state that every
// epoch's secrets and every member signature are bound to.
#pragma once

#include "rfc9420/wire_common.h"

namespace brenvik::rfc9420 {

struct GroupContext {
  ProtocolVersion version = ProtocolVersion::mls10;
  CipherSuite cipher_suite = 0;
  Bytes group_id;
  uint64_t epoch = 0;
  Bytes tree_hash;
  Bytes confirmed_transcript_hash;
  std::vector<Extension> extensions;

  bool operator==(const GroupContext&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::constant(&GroupContext::version, ProtocolVersion::mls10),
                      tls::field(&GroupContext::cipher_suite),
                      tls::field(&GroupContext::group_id),
                      tls::field(&GroupContext::epoch),
                      tls::field(&GroupContext::tree_hash),
                      tls::field(&GroupContext::confirmed_transcript_hash),
                      tls::field(&GroupContext::extensions)};
  }
};

}  // namespace brenvik::rfc9420
