// The construction record the host passes to BrenvikProtocol::new, turned
// into the core's configuration: every tunable the host left unset and every
// setting the host cannot pass takes the library's default.
//
// The record's fields map by position onto the core's sections: the switches
// for transports, encryption, groups and features, the pending-session queue
// limits, and the two optional sub-records (mesh relay tunables, custody)
// whose unset fields, or which when absent as a whole, keep the defaults.
#pragma once

#include "bindings/ffi_types.h"
#include "protocol/config/protocol_config.h"

namespace brenvik::ffi {

struct FacadeConfig {
  ProtocolConfig config;
  // Whether the retry pass is paced by its token bucket; carried here
  // because the retry section has no such switch yet.
  bool retry_pacing_enabled = false;
};

// Fills the defaults; does not validate (ProtocolConfig::first_violation
// does, with the first failing rule's message).
FacadeConfig protocol_config_from_host(const BrenvikProtocolConfig& host);

}  // namespace brenvik::ffi
