// Bodies of the test-only Probe object: each counts the call and returns a
// digest of what it received.
#include <stdexcept>

#include "probe_bodies.h"

namespace brenvik::ffi::body {

uint32_t probe_take_bool(Probe& self, bool flag) {
  ++self.calls;
  return flag ? 1 : 0;
}
uint32_t probe_take_priority(Probe& self, MessagePriority priority) {
  ++self.calls;
  return static_cast<uint32_t>(priority);
}
uint32_t probe_take_opt_string(Probe& self, std::optional<std::string> reply_to_msg) {
  ++self.calls;
  return reply_to_msg ? static_cast<uint32_t>(reply_to_msg->size()) + 1 : 0;
}
uint32_t probe_take_opt_priority(Probe& self, std::optional<MessagePriority> priority) {
  ++self.calls;
  return priority ? static_cast<uint32_t>(*priority) : 0;
}
uint32_t probe_take_strings(Probe& self, std::vector<std::string> message_ids) {
  ++self.calls;
  return static_cast<uint32_t>(message_ids.size());
}
uint32_t probe_take_map(Probe& self, std::map<std::string, std::string> capabilities) {
  ++self.calls;
  self.last_text.clear();
  for (const auto& [k, v] : capabilities) self.last_text += k + "=" + v + ";";
  return static_cast<uint32_t>(capabilities.size());
}
uint32_t probe_take_rich_options(Probe& self, RichMessageOptions options) {
  ++self.calls;
  return options.priority ? static_cast<uint32_t>(*options.priority) : 0;
}
uint32_t probe_take_metrics(Probe& self, TransportType transport_type, TransportMetrics) {
  ++self.calls;
  return static_cast<uint32_t>(transport_type);
}
uint32_t probe_take_bytes(Probe& self, Bytes data) {
  ++self.calls;
  return static_cast<uint32_t>(data.size());
}
uint32_t probe_take_text(Probe& self, std::string text) {
  ++self.calls;
  self.last_text = text;
  return static_cast<uint32_t>(text.size());
}
uint32_t probe_take_protocol(Probe& self, Ref<BrenvikProtocol> other) {
  ++self.calls;
  return other ? 1 : 0;
}
uint32_t probe_take_event_callback(Probe& self, std::shared_ptr<EventCallbackProxy> callback) {
  ++self.calls;
  auto r = callback->on_event("{\"type\":\"probe\"}");
  return r.ok() ? 1 : 0;
}
Result<std::string, InterfaceError> probe_echo(Probe& self, std::string text,
                                               MessagePriority priority,
                                               std::optional<std::string> reply_to_msg) {
  ++self.calls;
  if (text.empty()) return Err(InterfaceError::not_started());
  return text + "/" + std::string(variant_name(priority)) + "/" + reply_to_msg.value_or("-");
}
Bytes probe_echo_bytes(Probe& self, Bytes data) {
  ++self.calls;
  return data;
}
Result<std::string, InterfaceError> probe_fail(Probe& self, uint32_t mode) {
  ++self.calls;
  switch (mode) {
    case 0:
      return std::string("fine");
    case 1:
      return Err(InterfaceError::with_message(InterfaceError::Kind::InvalidArgument, "bad"));
    case 2:
      throw std::runtime_error("fault with text");
    default:
      throw 42;  // a fault that carries no text
  }
}

}  // namespace brenvik::ffi::body
