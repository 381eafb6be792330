// MLSMessage (RFC 9420 §6): the envelope of everything exchanged between
// clients.
#pragma once

#include "rfc9420/framing.h"
#include "rfc9420/group_info.h"
#include "rfc9420/welcome.h"

namespace brenvik::rfc9420 {

struct MlsMessage {
  ProtocolVersion version = ProtocolVersion::mls10;
  std::variant<tls::Case<WireFormat::public_message, PublicMessage>,
               tls::Case<WireFormat::private_message, PrivateMessage>,
               tls::Case<WireFormat::welcome, Welcome>,
               tls::Case<WireFormat::group_info, GroupInfo>,
               tls::Case<WireFormat::key_package, KeyPackage>>
      body;

  bool operator==(const MlsMessage&) const = default;
  // The version is fixed to mls10; any other value is refused on decode.
  static constexpr auto tls_fields() {
    return std::tuple{tls::constant(&MlsMessage::version, ProtocolVersion::mls10),
                      tls::field(&MlsMessage::body)};
  }

  WireFormat wire_format() const {
    return std::visit([](const auto& b) { return std::remove_cvref_t<decltype(b)>::tls_tag; },
                      body);
  }
  template <typename T>
  const T* get() const {
    const T* out = nullptr;
    std::visit(
        [&](const auto& b) {
          if constexpr (std::is_same_v<std::remove_cvref_t<decltype(b.value)>, T>) out = &b.value;
        },
        body);
    return out;
  }
};

// Decodes exactly one MLSMessage; trailing bytes are refused.
Result<MlsMessage, TlsError> decode_mls_message(ByteView in);
Bytes encode_mls_message(const MlsMessage& m);

// The epoch of a PublicMessage or PrivateMessage without decoding the rest
// of it; nullopt for other wire formats or malformed input.
std::optional<uint64_t> peek_message_epoch(ByteView in);

}  // namespace brenvik::rfc9420
