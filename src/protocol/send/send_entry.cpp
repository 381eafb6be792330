// The front door of the send road: refusals in their fixed order, the
// outgoing encryption policy, the message build and the hand-over to the
// transport stage.
#include "core/identifier.h"
#include "core/rich_payload.h"
#include "protocol/core/protocol_core.h"
#include "protocol/reserved_markers.h"
#include "transport/message_json.h"
#include "util/log.h"

namespace brenvik {

namespace {

Result<void, CoreError> check_user_id(std::string_view id) {
  auto r = validate_identifier(id, kUserIdLabel);
  if (!r.ok()) return Err(CoreError::invalid_user_id(r.error().message()));
  return {};
}

Result<void, CoreError> check_app_id(std::string_view id) {
  auto r = validate_identifier(id, kAppIdLabel);
  if (!r.ok()) return Err(CoreError::invalid_app_id(r.error().message()));
  return {};
}

constexpr std::string_view kEncryptionRequiredText =
    "MLS encryption is required (the default) but MLS is not initialized \xE2\x80\x94 call "
    "initialize_mls() with secure and protocol-state storage, or explicitly opt out with "
    "require_encryption=false to send plaintext";

}  // namespace

Result<void, ProtocolError> validate_recipient_id(std::string_view recipient) {
  auto r = check_user_id(recipient);
  if (!r.ok())
    return Err(ProtocolError::invalid_input("Invalid recipient user ID: " + r.error().message()));
  return {};
}

Result<std::optional<std::string>, ProtocolError> validate_optional_app_id(
    const std::optional<std::string>& app_id) {
  if (!app_id) return std::optional<std::string>();
  // An explicit app id is checked like any other: an empty one would be
  // refused by every receiver, so it is refused here.
  auto r = check_app_id(*app_id);
  if (!r.ok()) return Err(ProtocolError::invalid_input("Invalid app_id: " + r.error().message()));
  return app_id;
}

Result<void, ProtocolError> check_content_size(std::string_view content) {
  if (content.size() <= ProtocolCore::kMaxContentBytes) return {};
  return Err(ProtocolError::invalid_input(
      "Message content too large: " + std::to_string(content.size()) + " bytes (max " +
      std::to_string(ProtocolCore::kMaxContentBytes) + "); use send_media for large payloads"));
}

ProtocolError format_invalid_reply_to(const CoreError& e) {
  return ProtocolError::invalid_input("Invalid reply_to_msg: " + e.message());
}

Result<ForwardInfo, ProtocolError> check_forwardable(const Message& original) {
  // Longest forward chain a copy may carry; a copy at exactly this count is
  // still sent.
  constexpr uint32_t kMaxForwardCount = 100;
  if (is_reserved_content_marker(original.content))
    return Err(ProtocolError::invalid_input(
        "Cannot forward a message with reserved internal prefix content"));
  if (original.content_type == ContentType::FileChunk)
    return Err(ProtocolError::invalid_input(
        "FileChunk is an internal content type and cannot be forwarded"));
  ForwardInfo forward = next_forward_info(original);
  if (forward.forward_count > kMaxForwardCount)
    return Err(
        ProtocolError::invalid_input("Forward count " + std::to_string(forward.forward_count) +
                                     " exceeds maximum of " + std::to_string(kMaxForwardCount)));
  return forward;
}

Result<void, ProtocolError> check_rich_extras(const RichSendExtras& extras) {
  Message probe;
  probe.reply_context = extras.reply_context;
  probe.media_metadata = extras.media_metadata;
  probe.forwarded_from = extras.forward_info;
  auto e = encode_rich_extras(probe);
  if (e.ok()) return {};
  if (e.error().kind == RichExtrasError::Kind::TooLarge)
    return Err(ProtocolError::invalid_input(e.error().text));
  return Err(ProtocolError::serialization(e.error().text));
}

Result<Message, std::string> parse_message_json(std::string_view json) {
  auto r = read_message_json(ByteView(reinterpret_cast<const uint8_t*>(json.data()), json.size()));
  if (!r.ok()) return Err(r.error().to_string());
  return std::move(r).value();
}

void ProtocolCore::record_sent_message(const MessageId& id, SentRecord record) {
  outbox_.record_sent(id, std::move(record));
}

void ProtocolCore::advance_lamport_for_send() {
  if (lamport_clock_ != UINT64_MAX) ++lamport_clock_;
  // Once the protocol-state storage is installed, the clock is written when
  // it runs 64 or more above the value last written, so the stored clock
  // trails the live one by fewer than 64 steps. Without storage nothing is
  // written and the last written value stays.
}

Result<Message, ProtocolError> ProtocolCore::build_message(const std::string& recipient,
                                                           std::string content,
                                                           MessagePriority priority,
                                                           std::optional<MessageId> reply_to_msg,
                                                           std::optional<std::string> app_id) {
  if (auto r = check_user_id(local_user_id_); !r.ok())
    return Err(ProtocolError::core(std::move(r).error()));
  if (auto r = check_user_id(recipient); !r.ok())
    return Err(ProtocolError::core(std::move(r).error()));
  std::string app = app_id ? std::move(*app_id) : config_.app_id;
  if (!app_id) {
    if (auto r = check_app_id(app); !r.ok()) return Err(ProtocolError::core(std::move(r).error()));
  }
  if (config_.initial_ttl == 0) return Err(ProtocolError::core(CoreError::invalid_ttl(0)));
  advance_lamport_for_send();
  MessageBuilder b(local_user_id_, recipient, std::move(app));
  b.with_content(std::move(content))
      .with_priority(priority)
      .with_ttl(config_.initial_ttl)
      .with_lamport_clock(lamport_clock_)
      .with_reply_to(reply_to_msg);
  return std::move(b).build(clock_);
}

Result<OutgoingContent, ProtocolError> ProtocolCore::prepare_outgoing(const PrepareRequest& req) {
  // No MLS layer is installed in this core yet, so encryption is always
  // unavailable: a send that requires it fails, and one that opted out goes
  // in the clear. The sealed branch (rich wrapping, sealing, waiting for a
  // session) takes over here once the MLS manager can be installed.
  const bool mls_initialized = false;
  if (!config_.encryption.enabled || !mls_initialized) {
    if (config_.encryption.require_encryption)
      return Err(ProtocolError::encryption_failed(std::string(kEncryptionRequiredText)));
    if (req.rich && req.rich->any()) {
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message", "Plaintext send path, dropping rich extras (sealed-only)"},
                  {"recipient", req.recipient});
    }
    // The once-per-recipient plaintext warning belongs to the security layer.
    return OutgoingContent{OutgoingContent::Kind::Ready, req.content, {}};
  }
  return Err(ProtocolError::encryption_failed(std::string(kEncryptionRequiredText)));
}

Result<MessageId, ProtocolError> ProtocolCore::send_message(const std::string& recipient_in,
                                                            const std::string& content_in,
                                                            const SendOptions& options) {
  BRENVIK_TRY_VOID(require_running());
  std::string recipient = recipient_in;
  std::string content = content_in;
  MessagePriority priority = options.priority.value_or(MessagePriority::Medium);
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  BRENVIK_TRY(std::optional<std::string> app_id, validate_optional_app_id(options.app_id));
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));
  BRENVIK_TRY_VOID(check_content_size(content));
  if (is_reserved_content_marker(content))
    return Err(ProtocolError::invalid_input(
        "Message content must not start with a reserved internal prefix"));
  if (options.content_type == ContentType::FileChunk)
    return Err(ProtocolError::invalid_input(
        "FileChunk is an internal content type and cannot be sent directly"));
  std::optional<MessageId> reply_to;
  if (options.reply_to_msg) {
    auto p = parse_message_id(*options.reply_to_msg);
    if (!p.ok()) return Err(format_invalid_reply_to(p.error()));
    reply_to = p.value();
  }
  RichSendExtras extras{options.reply_context, options.media_metadata, options.forward_info};
  std::optional<RichSendExtras> rich;
  if (extras.any()) {
    BRENVIK_TRY_VOID(check_rich_extras(extras));
    rich = std::move(extras);
  }

  PrepareRequest req;
  req.recipient = recipient;
  req.content = content;
  req.priority = priority;
  req.reply_to_msg = reply_to;
  req.content_type = options.content_type.value_or(ContentType::Text);
  req.rich = rich;
  req.app_id = app_id;
  req.source_event = "send_message_session_pending";
  BRENVIK_TRY(OutgoingContent prepared, prepare_outgoing(req));
  if (prepared.kind == OutgoingContent::Kind::Queued) return prepared.queued_id;

  BRENVIK_TRY(Message message,
              build_message(recipient, std::move(prepared.content), priority, reply_to, app_id));
  if (options.content_type) message.content_type = *options.content_type;
  if (message.content.size() >= kMlsEncMarker.size() &&
      message.content.starts_with(kMlsEncMarker)) {
    record_sent_message(message.id, SentRecord{std::nullopt, rich, content, std::nullopt, reply_to,
                                               priority, message.content_type});
  }
  if (options.forced_transport)
    return send_via_forced_transport(std::move(message), *options.forced_transport);
  return send_prepared(std::move(message));
}

}  // namespace brenvik
