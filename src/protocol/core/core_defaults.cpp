#include "protocol/core/core_defaults.h"

namespace brenvik {

std::string StoreKeyError::message() const {
  switch (kind) {
    case Kind::NotConfigured:
      return "no store key is configured: " + detail;
    case Kind::NotUsable:
      return "the configured store key is not usable: " + detail;
    case Kind::SourceFailed:
      return "the store key source failed: " + detail;
  }
  return detail;
}

std::string ChunkDecodeError::message() const {
  switch (kind) {
    case Kind::Truncated:
      return "unexpected end of data reading " + field;
    case Kind::OverLimit:
      return field + " " + std::to_string(found) + " exceeds maximum " + std::to_string(maximum);
    case Kind::BadText:
      return "invalid " + field + " UTF-8: " + detail;
  }
  return field;
}

std::string_view transport_type_log_name(TransportType t) {
  return transport_type_display_name(t);
}

std::string_view transport_status_log_name(TransportStatus s) {
  return transport_status_name(s);
}

size_t other_member_count(const std::vector<std::string>& members, std::string_view local_user) {
  size_t n = 0;
  for (const auto& m : members) n += m != local_user ? 1 : 0;
  return n;
}

std::vector<std::string> members_to_resend(const std::vector<std::string>& recipients,
                                           std::string_view local_user,
                                           const std::set<std::string>& delivered) {
  std::vector<std::string> out;
  for (const auto& r : recipients)
    if (r != local_user && !delivered.contains(r)) out.push_back(r);
  return out;
}

std::vector<std::string> members_in_neither(const std::vector<std::string>& members,
                                            std::string_view local_user,
                                            const std::set<std::string>& a,
                                            const std::set<std::string>& b) {
  std::vector<std::string> out;
  for (const auto& m : members)
    if (m != local_user && !a.contains(m) && !b.contains(m)) out.push_back(m);
  return out;
}

}  // namespace brenvik
