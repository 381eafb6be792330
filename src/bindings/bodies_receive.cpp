// Bodies through which received bytes become the host's messages: the BLE
// fragment intake, which drains the core's receive path after each fragment,
// and the pull entry that hands the host the next received message.
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "bindings/received_message_json.h"

namespace brenvik::ffi::body {

Result<void, InterfaceError> brenvikprotocol_ble_fragment_received(BrenvikProtocol& self,
                                                                   std::string peer_id,
                                                                   Bytes fragment) {
  {
    BRENVIK_TRY(auto g, self.lock_inner());
    if (auto t = (*g)->transports().get(brenvik::TransportType::Ble)) {
      auto r = t->on_fragment_received_from(peer_id, std::move(fragment));
      if (!r.ok())
        return Err(InterfaceError::with_message(
            InterfaceError::Kind::Transport, "Fragment processing failed: " + r.error().message()));
    }
  }
  // One take of `inner` per message, so a long drain does not starve other
  // callers; everything the core does with a message happens inside it.
  for (;;) {
    BRENVIK_TRY(auto g, self.lock_inner());
    if (!(*g)->receive_message()) return {};
  }
}

std::optional<std::string> brenvikprotocol_receive_message(BrenvikProtocol& self) {
  auto g = self.lock_inner_or_recover();
  auto m = (*g)->receive_message();
  if (!m) return std::nullopt;
  return received_message_json(*m);
}

}  // namespace brenvik::ffi::body
