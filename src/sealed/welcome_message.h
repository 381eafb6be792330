// WelcomeMessage: the Welcome of a new 1:1 session or group as peers
// exchange it: group id, the serialised MLS Welcome, the inviter, an
// optional group name and the creation time (Unix ms).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "sealed/group_id.h"
#include "util/bytes.h"

namespace brenvik {

struct WelcomeMessage {
  GroupId group_id;
  Bytes welcome_data;
  std::string inviter_id;
  std::optional<std::string> group_name;
  uint64_t timestamp_ms = 0;

  bool operator==(const WelcomeMessage&) const = default;
};

}  // namespace brenvik
