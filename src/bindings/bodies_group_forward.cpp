// Body of forward_message_to_group: the host hands back a message it holds
// (as JSON) and the core forwards it to a group.
#include "bindings/error_mapping.h"
#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "bindings/send_conversions.h"
#include "core/message_id.h"

namespace brenvik::ffi::body {

Result<std::vector<std::string>, InterfaceError> brenvikprotocol_forward_message_to_group(
    BrenvikProtocol& self, std::string message_json, std::string group_id,
    MessagePriority priority) {
  // Read before `inner`, so a malformed text is refused even while another
  // call holds it.
  BRENVIK_TRY(auto original, parse_original_message(message_json));
  BRENVIK_TRY(auto g, self.lock_inner());
  auto ids = (*g)->forward_message_to_group(
      original, group_id,
      static_cast<brenvik::MessagePriority>(static_cast<int32_t>(priority) - 1));
  if (!ids.ok()) return Err(map_send_error(ids.error()));
  std::vector<std::string> out;
  out.reserve(ids.value().size());
  for (const MessageId& id : ids.value()) out.push_back(display_message_id(id));
  return out;
}

}  // namespace brenvik::ffi::body
