// GroupInfo (RFC 9420 §12.4.3): the signed group description a joiner
// receives inside a Welcome.
#pragma once

#include "rfc9420/group_context.h"

namespace brenvik::rfc9420 {

struct GroupInfo {
  GroupContext group_context;
  std::vector<Extension> extensions;
  Bytes confirmation_tag;  // MAC
  uint32_t signer = 0;
  Bytes signature;  // SignWithLabel(., "GroupInfoTBS", GroupInfoTBS)

  bool operator==(const GroupInfo&) const = default;
  static constexpr auto tls_fields() {
    return std::tuple{tls::field(&GroupInfo::group_context), tls::field(&GroupInfo::extensions),
                      tls::field(&GroupInfo::confirmation_tag), tls::field(&GroupInfo::signer),
                      tls::field(&GroupInfo::signature)};
  }
};

// GroupInfoTBS: every field but the signature.
Bytes group_info_tbs(const GroupInfo& gi);

}  // namespace brenvik::rfc9420
