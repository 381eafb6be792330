// Wire types shared by many RFC 9420 structures: the registry-valued enums,
// Extension, HPKECiphertext and the basic/X.509 Credential.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <variant>
#include <vector>

#include "rfc9420/tls_codec.h"

namespace brenvik::rfc9420 {

// RFC 9420 §6. Values outside the registries still decode (they are plain
// integers on the wire); the select cases are where unknown values are refused.
enum class ProtocolVersion : uint16_t { reserved = 0, mls10 = 1 };
enum class ContentType : uint8_t { reserved = 0, application = 1, proposal = 2, commit = 3 };
enum class SenderType : uint8_t {
  reserved = 0,
  member = 1,
  external = 2,
  new_member_proposal = 3,
  new_member_commit = 4,
};
enum class WireFormat : uint16_t {
  reserved = 0,
  public_message = 1,
  private_message = 2,
  welcome = 3,
  group_info = 4,
  key_package = 5,
};
enum class LeafNodeSource : uint8_t { reserved = 0, key_package = 1, update = 2, commit = 3 };
enum class NodeType : uint8_t { reserved = 0, leaf = 1, parent = 2 };
enum class PskType : uint8_t { reserved = 0, external = 1, resumption = 2 };
enum class ResumptionPskUsage : uint8_t { reserved = 0, application = 1, reinit = 2, branch = 3 };
enum class ProposalOrRefType : uint8_t { reserved = 0, proposal = 1, reference = 2 };

// Open registries (uint16 on the wire; unknown values are legal in lists).
using CipherSuite = uint16_t;
using ExtensionType = uint16_t;
using ProposalType = uint16_t;
using CredentialType = uint16_t;

inline constexpr CipherSuite kCipherSuiteX25519Aes128Sha256Ed25519 = 0x0001;

namespace proposal_type {
inline constexpr ProposalType add = 1, update = 2, remove = 3, psk = 4, reinit = 5,
                              external_init = 6, group_context_extensions = 7;
}
namespace extension_type {
inline constexpr ExtensionType application_id = 1, ratchet_tree = 2, required_capabilities = 3,
                               external_pub = 4, external_senders = 5;
}
namespace credential_type {
inline constexpr CredentialType basic = 1, x509 = 2;
}

using HpkePublicKey = Bytes;
using SignaturePublicKey = Bytes;
using HashReference = Bytes;
using KeyPackageRef = HashReference;
using ProposalRef = HashReference;

struct Extension {
  ExtensionType extension_type = 0;
  Bytes extension_data;
  bool operator==(const Extension&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&Extension::extension_type),
                      tls::field(&Extension::extension_data)};
  }
};

// The first extension of the given type, or nullptr.
const Extension* find_extension(std::span<const Extension> list, ExtensionType type);

struct HpkeCiphertext {
  Bytes kem_output;
  Bytes ciphertext;
  bool operator==(const HpkeCiphertext&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&HpkeCiphertext::kem_output),
                      tls::field(&HpkeCiphertext::ciphertext)};
  }
};

struct Certificate {
  Bytes cert_data;
  bool operator==(const Certificate&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Certificate::cert_data)}; }
};

struct BasicCredential {
  static constexpr CredentialType tls_tag = credential_type::basic;
  Bytes identity;
  bool operator==(const BasicCredential&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&BasicCredential::identity)}; }
};

struct X509Credential {
  static constexpr CredentialType tls_tag = credential_type::x509;
  std::vector<Certificate> certificates;
  bool operator==(const X509Credential&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&X509Credential::certificates)};
  }
};

// RFC 9420 §5.3. Other credential types cannot be skipped (no length on the
// wire) and are refused as UnknownSelector.
struct Credential {
  std::variant<BasicCredential, X509Credential> body;
  bool operator==(const Credential&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&Credential::body)}; }

  static Credential basic(Bytes identity) { return {BasicCredential{std::move(identity)}}; }
  CredentialType type() const {
    return std::visit([](const auto& c) { return std::remove_cvref_t<decltype(c)>::tls_tag; },
                      body);
  }
  // The identity of a basic credential, nullptr for other types.
  const Bytes* basic_identity() const {
    const auto* b = std::get_if<BasicCredential>(&body);
    return b ? &b->identity : nullptr;
  }
};

}  // namespace brenvik::rfc9420
