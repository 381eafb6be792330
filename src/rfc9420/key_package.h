// KeyPackage (RFC 9420 §10): a member's published offer to be added to a group.
#pragma once

#include "rfc9420/leaf_node.h"

namespace brenvik::rfc9420 {

struct KeyPackage {
  ProtocolVersion version = ProtocolVersion::mls10;
  CipherSuite cipher_suite = 0;
  HpkePublicKey init_key;
  LeafNode leaf_node;
  std::vector<Extension> extensions;
  Bytes signature;  // SignWithLabel(., "KeyPackageTBS", KeyPackageTBS)

  bool operator==(const KeyPackage&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&KeyPackage::version),    tls::field(&KeyPackage::cipher_suite),
                      tls::field(&KeyPackage::init_key),   tls::field(&KeyPackage::leaf_node),
                      tls::field(&KeyPackage::extensions), tls::field(&KeyPackage::signature)};
  }
};

// KeyPackageTBS: every field but the signature.
Bytes key_package_tbs(const KeyPackage& kp);

}  // namespace brenvik::rfc9420
