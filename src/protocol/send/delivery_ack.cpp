// Delivery acknowledgements: built and routed back on the receiving side,
// held when no route exists, and settled on the sending side.
#include <algorithm>

#include "core/identifier.h"
#include "protocol/core/protocol_core.h"
#include "protocol/receive/ack_fields.h"
#include "util/log.h"

namespace brenvik {

namespace {

std::optional<std::string_view> metadata_value(const Message& m, std::string_view key) {
  auto it = m.metadata.find(std::string(key));
  if (it == m.metadata.end()) return std::nullopt;
  return std::string_view(it->second);
}

uint64_t elapsed_ms(int64_t now_ns, int64_t then_ns) {
  return now_ns > then_ns ? uint64_t(now_ns - then_ns) / 1'000'000 : 0;
}

}  // namespace

Result<void, ProtocolError> ProtocolCore::send_delivery_ack(const Message& received,
                                                            TransportType inbound_transport) {
  for (auto [value, label] : {std::pair{std::string_view(local_user_id_), kUserIdLabel},
                              std::pair{std::string_view(config_.app_id), kAppIdLabel}}) {
    auto r = validate_identifier(value, label);
    if (!r.ok()) {
      return Err(ProtocolError::core(label == kUserIdLabel
                                         ? CoreError::invalid_user_id(r.error().message())
                                         : CoreError::invalid_app_id(r.error().message())));
    }
  }
  MessageBuilder b(local_user_id_, received.sender, config_.app_id);
  b.with_content("")
      .with_priority(MessagePriority::Low)
      .with_requires_ack(false)
      .with_ttl(config_.initial_ttl == 0 ? 8 : config_.initial_ttl)
      .with_metadata("ack_for", display_message_id(received.id))
      .with_metadata("ack_hop_count", std::to_string(received.hop_count))
      .with_metadata("ack_transport", std::string(transport_type_name(inbound_transport)));
  Message ack = std::move(b).build(clock_);
  route_delivery_ack(ack, inbound_transport);
  return {};
}

void ProtocolCore::route_delivery_ack(const Message& ack, TransportType inbound_transport) {
  if (send_ack_via_route(ack, inbound_transport)) return;
  BRENVIK_LOG(
      LogLevel::Debug, kSendLogTarget,
      {"message",
       "No route back for a delivery acknowledgement; holding it for the next carrier edge"},
      {"ack_to", ack.recipient});
  hold_unrouted_ack(ack, inbound_transport, clock_.monotonic());
}

bool ProtocolCore::send_ack_via_route(const Message& ack, TransportType t) {
  const std::string& to = ack.recipient;
  if (transport_manager_.transport_reaches_peer(t, to) && transport_manager_.send_via(ack, t).ok())
    return true;
  BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
              {"message", "Inbound transport cannot answer this sender; looking for another route"},
              {"ack_to", to}, {"inbound_transport", transport_type_display_name(t)});
  bool reachable = recipient_reachable(to);
  bool skip_handoff;
  if (t == TransportType::Ble || t == TransportType::WifiDirect)
    skip_handoff = reachable && transport_manager_.direct_link_transport(to).has_value();
  else
    skip_handoff = reachable;
  uint64_t handed = 0;
  if (!skip_handoff) {
    handed = hand_to_neighbors(ack);
    if (handed > 0) {
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message", "Handed the acknowledgement to the mesh"}, {"ack_to", to},
                  {"handed_to_mesh", handed});
      if (!reachable) return true;
    }
  }
  if (transport_manager_.send(ack).ok()) return true;
  return handed > 0;
}

void ProtocolCore::hold_unrouted_ack(Message ack, TransportType transport, MonoTime held_at) {
  if (outbox_.hold_unrouted_ack(UnroutedAck{std::move(ack), transport, held_at})) {
    BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                {"message", "Unrouted acknowledgement queue full; dropped the oldest"});
  }
}

bool ProtocolCore::recipient_reachable(const std::string& recipient) const {
  std::vector<TransportType> long_range = transport_manager_.reachable_peers();
  MonoTime now = clock_.monotonic();
  bool all_report = std::all_of(long_range.begin(), long_range.end(), [&](TransportType t) {
    return transport_manager_.has_live_unreachable_report(recipient, t, now);
  });
  if (!all_report) return true;
  return transport_manager_.direct_link_transport(recipient).has_value();
}

void ProtocolCore::settle_delivery_ack(const Message& incoming) {
  auto ack_for = metadata_value(incoming, "ack_for");
  if (!ack_for) return;
  auto parsed = parse_message_id(*ack_for);
  if (!parsed.ok()) return;
  const MessageId id = parsed.value();
  std::string id_text = display_message_id(id);

  const OutboxEntry* entry = outbox_.find_any(id);
  if (entry && incoming.sender != entry->message.recipient) {
    BRENVIK_LOG(
        LogLevel::Debug, kSendLogTarget,
        {"message", "Ignoring an acknowledgement from someone this message was not sent to"},
        {"message_id", id_text}, {"claimed_sender", incoming.sender});
    return;
  }
  outbox_.forget_connection_request(id_text);
  std::optional<PendingAck> wait = ack_manager_.acknowledge(id);
  uint8_t hop_count = parse_ack_hop_count(metadata_value(incoming, "ack_hop_count"));
  TransportType transport = ack_transport_from_name(metadata_value(incoming, "ack_transport"));
  int64_t now_ns = clock_.wall_unix_ns();

  auto available_last = [&](const OutboxEntry& e) -> std::optional<TransportType> {
    if (e.last_transport && transport_manager_.available_transports().contains(*e.last_transport))
      return e.last_transport;
    return std::nullopt;
  };

  if (!wait) {
    const OutboxEntry* parked = outbox_.find(id);
    if (!is_parked_dm(id) || !parked || !outbox_.has_park(parked->message.recipient)) return;
    uint64_t latency_ms = elapsed_ms(now_ns, parked->first_sent_at_ns);
    std::string recipient = parked->message.recipient;
    BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                {"message", "Parked DM was delivered after all; settling from its acknowledgement"},
                {"message_id", id_text}, {"recipient", recipient}, {"latency_ms", latency_ms});
    retry_queue_.remove(id_text);
    std::optional<OutboxEntry> cleared = clear_outbox_entry(id);
    std::optional<TransportType> t = cleared ? available_last(*cleared) : std::nullopt;
    (void)deliver_locked(
        event::MessageDelivered{id_text, latency_ms, hop_count,
                                std::string(transport_type_name(transport))},
        "Failed to lock shared state for parked-ACK event, skipping event emission",
        kSendLogTarget);
    flush_outbox_for_peer(recipient, t);
    return;
  }
  uint64_t latency_ms = elapsed_ms(now_ns, wait->sent_at_ns);
  (void)deliver_locked(event::MessageDelivered{id_text, latency_ms, hop_count,
                                               std::string(transport_type_name(transport))},
                       "Failed to lock shared state for ACK event, skipping event emission",
                       kSendLogTarget);
  transport_manager_.router().record_success(transport);
  transport_manager_.record_ack_latency(
      transport, uint32_t(std::min<uint64_t>(latency_ms, UINT32_MAX)), hop_count);
  settle_media_chunk_ack(id);
  retry_queue_.remove(id_text);
  std::optional<OutboxEntry> cleared = clear_outbox_entry(id);
  if (cleared && outbox_.has_park(cleared->message.recipient))
    flush_outbox_for_peer(cleared->message.recipient, available_last(*cleared));
}

}  // namespace brenvik
