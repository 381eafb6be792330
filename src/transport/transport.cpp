#include "transport/transport.h"

#include <algorithm>

#include "transport/message_codec.h"
#include "util/log.h"

namespace brenvik {

namespace {

float clamp01(float v) {
  return std::clamp(v, 0.0f, 1.0f);
}

std::optional<float> rate_of(std::optional<float> explicit_rate, uint32_t part, uint32_t other) {
  if (explicit_rate) {
    // A NaN explicit rate reads as 0 rather than poisoning the router's sums.
    return *explicit_rate != *explicit_rate ? 0.0f : clamp01(*explicit_rate);
  }
  uint64_t total = uint64_t(part) + other;
  if (total == 0) return std::nullopt;
  return std::min(float(part) / float(total), 1.0f);
}

}  // namespace

std::optional<float> TransportMetrics::effective_failure_rate() const {
  return rate_of(failure_rate, messages_failed, messages_delivered);
}

std::optional<float> TransportMetrics::effective_success_rate() const {
  return rate_of(success_rate, messages_delivered, messages_failed);
}

void TransportMetrics::refresh_rates() {
  uint64_t total = uint64_t(messages_delivered) + messages_failed;
  if (total == 0) return;
  float f = std::min(float(messages_failed) / float(total), 1.0f);
  failure_rate = f;
  success_rate = clamp01(1.0f - f);
}

void TransportMetrics::record_failures(uint64_t n) {
  messages_failed = saturating_add_u32(messages_failed, n);
  refresh_rates();
}

void TransportMetrics::record_successes(uint64_t n) {
  messages_delivered = saturating_add_u32(messages_delivered, n);
  refresh_rates();
}

uint8_t rssi_to_quality(int16_t rssi) {
  int r = rssi;
  if (r >= -50) return 100;
  if (r >= -70) return uint8_t(70 + (30 * r + 2100) / 20);
  if (r >= -85) return uint8_t(40 + (30 * r + 2550) / 15);
  return uint8_t((40 * std::max(r, -100) + 4000) / 15);
}

Result<void, TransportError> Transport::send_to_peer(const std::string& peer_id, const Message&) {
  std::string t(record_name());
  t.append(" transport cannot address peer ")
      .append(peer_id)
      .append(" independently of the recipient");
  return Err(TransportError::other(std::move(t)));
}

Result<void, TransportError> Transport::on_data_received(Bytes) {
  std::string t(record_name());
  t.append(
      " transport does not accept whole-message data; use the transport's fragment/event ingress "
      "instead");
  return Err(TransportError::other(std::move(t)));
}

Result<void, TransportError> Transport::on_data_received_from(const std::string&, Bytes) {
  return Transport::on_data_received(Bytes());
}

Result<void, TransportError> Transport::on_fragment_received(Bytes) {
  std::string t(record_name());
  t.append(" transport does not reassemble fragments; use on_data_received instead");
  return Err(TransportError::other(std::move(t)));
}

Result<void, TransportError> Transport::on_fragment_received_from(const std::string&, Bytes) {
  std::string t(record_name());
  t.append(" transport does not reassemble fragments; use on_data_received_from instead");
  return Err(TransportError::other(std::move(t)));
}

void Transport::set_on_messages_available(OutboundAvailableCallback callback) {
  callback = nullptr;
  BRENVIK_LOG(LogLevel::Warn, kTraitsLogTarget,
              {"message",
               "set_on_messages_available: transport has no outbound-available callback; callback "
               "dropped"},
              {"transport", LogValue::display(transport_type_display_name(transport_type()))});
}

void Transport::confirm_sent(const std::string& message_id) {
  BRENVIK_LOG(LogLevel::Debug, kTraitsLogTarget,
              {"message", "confirm_sent: transport has no confirmation loop; ignoring"},
              {"transport", LogValue::display(transport_type_display_name(transport_type()))},
              {"message_id", message_id});
}

void Transport::report_send_failure(const std::string& message_id) {
  BRENVIK_LOG(LogLevel::Debug, kTraitsLogTarget,
              {"message", "report_send_failure: transport has no confirmation loop; ignoring"},
              {"transport", LogValue::display(transport_type_display_name(transport_type()))},
              {"message_id", message_id});
}

void Transport::set_peer_mtu(const std::string& peer_id, uint32_t max_payload) {
  BRENVIK_LOG(LogLevel::Warn, kTraitsLogTarget,
              {"message", "set_peer_mtu: transport is not MTU-aware; ignoring"},
              {"transport", LogValue::display(transport_type_display_name(transport_type()))},
              {"peer", peer_id}, {"max_payload", max_payload});
}

void Transport::clear_peer_mtu(const std::string& peer_id) {
  BRENVIK_LOG(LogLevel::Debug, kTraitsLogTarget,
              {"message", "clear_peer_mtu: transport is not MTU-aware; ignoring"},
              {"transport", LogValue::display(transport_type_display_name(transport_type()))},
              {"peer", peer_id});
}

Result<Message, TransportError> Transport::decode(ByteView data) const {
  return decode_message(data);
}

}  // namespace brenvik
