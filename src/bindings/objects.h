// The three objects the host reaches by handle.
//
// BrenvikProtocol is the facade; DataStore and MeshServices each hold exactly
// one counted reference to a BrenvikProtocol and nothing else, so two of them
// over the same protocol are interchangeable.
#pragma once

#include "bindings/handle.h"
#include "bindings/protocol_facade.h"

namespace brenvik::ffi {

class DataStore {
 public:
  explicit DataStore(Ref<BrenvikProtocol> protocol) : protocol_(std::move(protocol)) {}
  const Ref<BrenvikProtocol>& protocol_ref() const { return protocol_; }

 private:
  Ref<BrenvikProtocol> protocol_;
};

class MeshServices {
 public:
  explicit MeshServices(Ref<BrenvikProtocol> protocol) : protocol_(std::move(protocol)) {}
  const Ref<BrenvikProtocol>& protocol_ref() const { return protocol_; }

 private:
  Ref<BrenvikProtocol> protocol_;
};

}  // namespace brenvik::ffi
