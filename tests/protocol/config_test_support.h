// A complete, valid configuration for the protocol tests: the library's
// fixed values plus host values a typical application would pass.
#pragma once

#include "protocol/config/protocol_config.h"

namespace brenvik::testing {

inline ProtocolConfig valid_protocol_config() {
  ProtocolConfig c;
  c.app_id = "com.example.chat";
  c.local_user_id = "alice";
  c.initial_ttl = 8;
  c.transports.ble = true;
  c.encryption.enabled = true;
  c.encryption.pending_queue.max_pending_per_peer = 32;
  c.encryption.pending_queue.max_pending_global = 256;
  c.encryption.pending_queue.pending_ttl_ms = 60'000;
  c.group.max_group_members = 64;
  return c;
}

}  // namespace brenvik::testing
