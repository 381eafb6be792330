// Welcome and the group secrets it carries to each new member
// (RFC 9420 §12.4.3.1).
#pragma once

#include "rfc9420/proposal.h"

namespace brenvik::rfc9420 {

struct PathSecret {
  Bytes path_secret;
  bool operator==(const PathSecret&) const = default;
  static constexpr auto tls_fields() { return std::tuple{tls::field(&PathSecret::path_secret)}; }
};

struct GroupSecrets {
  Bytes joiner_secret;
  std::optional<PathSecret> path_secret;
  std::vector<PreSharedKeyId> psks;
  bool operator==(const GroupSecrets&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&GroupSecrets::joiner_secret),
                      tls::field(&GroupSecrets::path_secret), tls::field(&GroupSecrets::psks)};
  }
};

struct EncryptedGroupSecrets {
  KeyPackageRef new_member;
  HpkeCiphertext encrypted_group_secrets;
  bool operator==(const EncryptedGroupSecrets&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&EncryptedGroupSecrets::new_member),
                      tls::field(&EncryptedGroupSecrets::encrypted_group_secrets)};
  }
};

struct Welcome {
  CipherSuite cipher_suite = 0;
  std::vector<EncryptedGroupSecrets> secrets;
  Bytes encrypted_group_info;
  bool operator==(const Welcome&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&Welcome::cipher_suite), tls::field(&Welcome::secrets),
                      tls::field(&Welcome::encrypted_group_info)};
  }
};

}  // namespace brenvik::rfc9420
