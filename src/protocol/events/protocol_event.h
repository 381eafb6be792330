// ProtocolEvent: the one value type in which the protocol reports what
// happened. 75 kinds, each a plain struct that owns all its data; copying an
// event copies everything deeply.
//
// Every kind declares its fields once, in order, in `each_field`, together
// with marks that drive the three consumers of an event:
// - the host event JSON (serialize_event_json): key names and order, and
//   whether an absent optional is left out or written as null;
// - the diagnostic text form (diagnostic_text): which fields are masked,
//   summarised, counted or left out, so that logs never show message
//   content or peer identifiers;
// - redaction (for_each_identifier): the identifier fields a scrubbing step
//   rewrites.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/message.h"
#include "protocol/events/event_enums.h"
#include "util/bytes.h"

namespace brenvik {

// One member of a group, as the group-info event lists it.
struct GroupInfoMemberPayload {
  std::string user_id;
  std::string role;
  std::string joined_at;
  bool operator==(const GroupInfoMemberPayload&) const = default;
};

// One group of the local user, as the user-groups event lists it.
struct UserGroupSummaryPayload {
  std::string group_id;
  std::string name;
  std::string created_at;
  bool operator==(const UserGroupSummaryPayload&) const = default;
};

// One username claim gathered by a resolution.
struct ResolvedClaim {
  std::string address;
  std::string public_key;
  int64_t issued_at_ms = 0;
  bool operator==(const ResolvedClaim&) const = default;
};

// Field marks. A field without marks is printed unchanged in the diagnostic
// form and, when optional, left out of the JSON when absent.
enum FieldFlag : uint16_t {
  // Identifier field: redaction rewrites it (for nested records only their
  // identifier sub-fields: ForwardInfo.original_sender, ReplyContext.sender,
  // member user_id, group summary group_id, claim address and public_key).
  kId = 1 << 0,
  kR = 1 << 1,               // diagnostic: "[REDACTED]" whatever the value
  kU = 1 << 2,               // diagnostic: "<redacted>"
  kContent = 1 << 3,         // diagnostic: "[REDACTED n bytes]"
  kFileData = 1 << 4,        // diagnostic: "[n bytes base64]"
  kDataChars = 1 << 5,       // diagnostic: "[n base64 chars]"
  kPresence = 1 << 6,        // diagnostic: true/false for present/absent (under alt name if given)
  kCount = 1 << 7,           // diagnostic: element count under the alt name
  kSkip = 1 << 8,            // diagnostic: left out
  kNullWhenAbsent = 1 << 9,  // JSON: absent optional written as null (else left out)
};

struct FieldMark {
  constexpr FieldMark() = default;
  constexpr explicit FieldMark(uint16_t f, std::string_view a = {}) : flags(f), alt(a) {}
  uint16_t flags = 0;
  std::string_view alt;  // name for kPresence / kCount
  bool has(uint16_t f) const { return (flags & f) != 0; }
};

namespace event {

// 0
struct MessageSent {
  static constexpr std::string_view kName = "MessageSent";
  static constexpr std::string_view kTag = "message_sent";
  std::string message_id;
  std::string sender;
  std::string recipient;
  std::string content;
  std::string priority;
  bool requires_ack = false;
  int64_t timestamp = 0;
  uint64_t lamport_clock = 0;
  std::optional<ForwardInfo> forward_info;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("content", s.content, FieldMark{kContent});
    v("priority", s.priority, FieldMark{});
    v("requires_ack", s.requires_ack, FieldMark{});
    v("timestamp", s.timestamp, FieldMark{});
    v("lamport_clock", s.lamport_clock, FieldMark{});
    v("forward_info", s.forward_info, FieldMark{kId | kPresence});
  }
  bool operator==(const MessageSent&) const = default;
};

// 1
struct MessageReceived {
  static constexpr std::string_view kName = "MessageReceived";
  static constexpr std::string_view kTag = "message_received";
  std::string message_id;
  std::string sender;
  std::string recipient;
  std::string content;
  uint8_t hop_count = 0;
  std::string transport;
  int64_t timestamp = 0;
  uint64_t lamport_clock = 0;
  std::optional<std::string> reply_to_msg;
  std::optional<ReplyContext> reply_context;
  std::string content_type;
  std::optional<MediaMetadata> media_metadata;
  std::optional<ForwardInfo> forward_info;
  bool encrypted = false;
  std::string app_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("content", s.content, FieldMark{kContent});
    v("hop_count", s.hop_count, FieldMark{});
    v("transport", s.transport, FieldMark{});
    v("timestamp", s.timestamp, FieldMark{});
    v("lamport_clock", s.lamport_clock, FieldMark{});
    v("reply_to_msg", s.reply_to_msg, FieldMark{kR});
    v("reply_context", s.reply_context, FieldMark{kId | kPresence});
    v("content_type", s.content_type, FieldMark{});
    v("media_metadata", s.media_metadata, FieldMark{kSkip});
    v("forward_info", s.forward_info, FieldMark{kId | kPresence});
    v("encrypted", s.encrypted, FieldMark{});
    v("app_id", s.app_id, FieldMark{});
  }
  bool operator==(const MessageReceived&) const = default;
};

// 2
struct MessageDelivered {
  static constexpr std::string_view kName = "MessageDelivered";
  static constexpr std::string_view kTag = "message_delivered";
  std::string message_id;
  uint64_t latency_ms = 0;
  uint8_t hop_count = 0;
  std::string transport;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("latency_ms", s.latency_ms, FieldMark{});
    v("hop_count", s.hop_count, FieldMark{});
    v("transport", s.transport, FieldMark{});
  }
  bool operator==(const MessageDelivered&) const = default;
};

// 3
struct MessageFailed {
  static constexpr std::string_view kName = "MessageFailed";
  static constexpr std::string_view kTag = "message_failed";
  std::string message_id;
  std::string reason;
  uint32_t retry_count = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("reason", s.reason, FieldMark{});
    v("retry_count", s.retry_count, FieldMark{});
  }
  bool operator==(const MessageFailed&) const = default;
};

// 4
struct MessageDecryptionFailed {
  static constexpr std::string_view kName = "MessageDecryptionFailed";
  static constexpr std::string_view kTag = "message_decryption_failed";
  std::string message_id;
  std::string sender;
  DecryptionFailureCode code{};
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("code", s.code, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const MessageDecryptionFailed&) const = default;
};

// 5
struct TransportSwitched {
  static constexpr std::string_view kName = "TransportSwitched";
  static constexpr std::string_view kTag = "transport_switched";
  std::optional<std::string> from;
  std::string to;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("from", s.from, FieldMark{kNullWhenAbsent});
    v("to", s.to, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const TransportSwitched&) const = default;
};

// 6
struct RelayPromoted {
  static constexpr std::string_view kName = "RelayPromoted";
  static constexpr std::string_view kTag = "relay_promoted";
  uint64_t connection_count = 0;
  std::optional<uint8_t> battery_level;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("connection_count", s.connection_count, FieldMark{});
    v("battery_level", s.battery_level, FieldMark{kNullWhenAbsent});
  }
  bool operator==(const RelayPromoted&) const = default;
};

// 7
struct RelayDemoted {
  static constexpr std::string_view kName = "RelayDemoted";
  static constexpr std::string_view kTag = "relay_demoted";
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const RelayDemoted&) const = default;
};

// 8
struct NeighborDiscovered {
  static constexpr std::string_view kName = "NeighborDiscovered";
  static constexpr std::string_view kTag = "neighbor_discovered";
  std::string peer_id;
  std::string transport;
  std::optional<int16_t> rssi;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("transport", s.transport, FieldMark{});
    v("rssi", s.rssi, FieldMark{kNullWhenAbsent});
  }
  bool operator==(const NeighborDiscovered&) const = default;
};

// 9
struct NeighborLost {
  static constexpr std::string_view kName = "NeighborLost";
  static constexpr std::string_view kTag = "neighbor_lost";
  std::string peer_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
  }
  bool operator==(const NeighborLost&) const = default;
};

// 10
struct IdentityReady {
  static constexpr std::string_view kName = "IdentityReady";
  static constexpr std::string_view kTag = "identity_ready";
  std::string address;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("address", s.address, FieldMark{kId | kR});
  }
  bool operator==(const IdentityReady&) const = default;
};

// 11
struct NetworkMetrics {
  static constexpr std::string_view kName = "NetworkMetrics";
  static constexpr std::string_view kTag = "network_metrics";
  uint64_t neighbor_count = 0;
  uint64_t relay_count = 0;
  float delivery_ratio = 0;
  uint64_t avg_latency_ms = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("neighbor_count", s.neighbor_count, FieldMark{});
    v("relay_count", s.relay_count, FieldMark{});
    v("delivery_ratio", s.delivery_ratio, FieldMark{});
    v("avg_latency_ms", s.avg_latency_ms, FieldMark{});
  }
  bool operator==(const NetworkMetrics&) const = default;
};

// 12
struct FileProgress {
  static constexpr std::string_view kName = "FileProgress";
  static constexpr std::string_view kTag = "file_progress";
  std::string file_id;
  uint32_t chunks_sent = 0;
  uint32_t total_chunks = 0;
  uint8_t percentage = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("chunks_sent", s.chunks_sent, FieldMark{});
    v("total_chunks", s.total_chunks, FieldMark{});
    v("percentage", s.percentage, FieldMark{});
  }
  bool operator==(const FileProgress&) const = default;
};

// 13
struct FileReceived {
  static constexpr std::string_view kName = "FileReceived";
  static constexpr std::string_view kTag = "file_received";
  std::string file_id;
  std::string file_name;
  uint64_t file_size = 0;
  std::string sender;
  std::string content_type;
  std::optional<MediaMetadata> media_metadata;
  std::string file_data;
  std::optional<int64_t> timestamp;
  std::optional<std::string> caption;
  std::optional<std::string> reply_to_msg;
  std::optional<ReplyContext> reply_context;
  std::optional<ForwardInfo> forward_info;
  std::optional<std::string> app_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("file_name", s.file_name, FieldMark{});
    v("file_size", s.file_size, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("content_type", s.content_type, FieldMark{});
    v("media_metadata", s.media_metadata, FieldMark{kSkip});
    v("file_data", s.file_data, FieldMark{kFileData});
    v("timestamp", s.timestamp, FieldMark{});
    v("caption", s.caption, FieldMark{kPresence});
    v("reply_to_msg", s.reply_to_msg, FieldMark{kR});
    v("reply_context", s.reply_context, FieldMark{kId | kPresence});
    v("forward_info", s.forward_info, FieldMark{kId | kPresence});
    v("app_id", s.app_id, FieldMark{});
  }
  bool operator==(const FileReceived&) const = default;
};

// 14
struct FileReceiveFailed {
  static constexpr std::string_view kName = "FileReceiveFailed";
  static constexpr std::string_view kTag = "file_receive_failed";
  std::string file_id;
  std::string file_name;
  std::string sender;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("file_name", s.file_name, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const FileReceiveFailed&) const = default;
};

// 15
struct MediaSent {
  static constexpr std::string_view kName = "MediaSent";
  static constexpr std::string_view kTag = "media_sent";
  std::string file_id;
  std::string content_type;
  std::string recipient;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("content_type", s.content_type, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
  }
  bool operator==(const MediaSent&) const = default;
};

// 16
struct MediaSendFailed {
  static constexpr std::string_view kName = "MediaSendFailed";
  static constexpr std::string_view kTag = "media_send_failed";
  std::string file_id;
  std::string recipient;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const MediaSendFailed&) const = default;
};

// 17
struct MessageDeferred {
  static constexpr std::string_view kName = "MessageDeferred";
  static constexpr std::string_view kTag = "message_deferred";
  std::string message_id;
  std::string recipient;
  std::string reason;
  uint32_t retry_count = 0;
  std::optional<int64_t> next_retry_at;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("reason", s.reason, FieldMark{});
    v("retry_count", s.retry_count, FieldMark{});
    v("next_retry_at", s.next_retry_at, FieldMark{kNullWhenAbsent});
  }
  bool operator==(const MessageDeferred&) const = default;
};

// 18
struct MessageRetrying {
  static constexpr std::string_view kName = "MessageRetrying";
  static constexpr std::string_view kTag = "message_retrying";
  std::string message_id;
  std::string recipient;
  uint32_t retry_count = 0;
  int64_t next_retry_at = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("retry_count", s.retry_count, FieldMark{});
    v("next_retry_at", s.next_retry_at, FieldMark{});
  }
  bool operator==(const MessageRetrying&) const = default;
};

// 19
struct MessageUndeliverable {
  static constexpr std::string_view kName = "MessageUndeliverable";
  static constexpr std::string_view kTag = "message_undeliverable";
  std::string message_id;
  std::string recipient;
  std::string reason;
  std::optional<std::string> file_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("reason", s.reason, FieldMark{});
    v("file_id", s.file_id, FieldMark{});
  }
  bool operator==(const MessageUndeliverable&) const = default;
};

// 20
struct MediaResendRequired {
  static constexpr std::string_view kName = "MediaResendRequired";
  static constexpr std::string_view kTag = "media_resend_required";
  std::string file_id;
  std::string recipient;
  std::string file_name;
  uint64_t file_size = 0;
  std::optional<std::string> app_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("file_id", s.file_id, FieldMark{});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("file_name", s.file_name, FieldMark{});
    v("file_size", s.file_size, FieldMark{});
    v("app_id", s.app_id, FieldMark{});
  }
  bool operator==(const MediaResendRequired&) const = default;
};

// 21
struct AckEvicted {
  static constexpr std::string_view kName = "AckEvicted";
  static constexpr std::string_view kTag = "ack_evicted";
  std::string message_id;
  std::string priority;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("priority", s.priority, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const AckEvicted&) const = default;
};

// 22
struct FragmentAssemblyEvicted {
  static constexpr std::string_view kName = "FragmentAssemblyEvicted";
  static constexpr std::string_view kTag = "fragment_assembly_evicted";
  std::string message_id;
  uint8_t completion_percent = 0;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("completion_percent", s.completion_percent, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const FragmentAssemblyEvicted&) const = default;
};

// 23
struct RelayDemotedBattery {
  static constexpr std::string_view kName = "RelayDemotedBattery";
  static constexpr std::string_view kTag = "relay_demoted_battery";
  uint8_t battery_level = 0;
  uint8_t min_required = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("battery_level", s.battery_level, FieldMark{});
    v("min_required", s.min_required, FieldMark{});
  }
  bool operator==(const RelayDemotedBattery&) const = default;
};

// 24
struct SecureSessionEstablished {
  static constexpr std::string_view kName = "SecureSessionEstablished";
  static constexpr std::string_view kTag = "secure_session_established";
  std::string peer_id;
  std::string group_id;
  bool is_session = false;
  bool initiated_by_local = false;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("group_id", s.group_id, FieldMark{kId});
    v("is_session", s.is_session, FieldMark{});
    v("initiated_by_local", s.initiated_by_local, FieldMark{});
  }
  bool operator==(const SecureSessionEstablished&) const = default;
};

// 25
struct SecureSessionFailed {
  static constexpr std::string_view kName = "SecureSessionFailed";
  static constexpr std::string_view kTag = "secure_session_failed";
  std::string peer_id;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const SecureSessionFailed&) const = default;
};

// 26
struct ConvergenceDiag {
  static constexpr std::string_view kName = "ConvergenceDiag";
  static constexpr std::string_view kTag = "convergence_diag";
  std::string stage;
  std::string peer_id;
  std::string detail;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("stage", s.stage, FieldMark{});
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("detail", s.detail, FieldMark{});
  }
  bool operator==(const ConvergenceDiag&) const = default;
};

// 27
struct WelcomeSendAttempted {
  static constexpr std::string_view kName = "WelcomeSendAttempted";
  static constexpr std::string_view kTag = "welcome_send_attempted";
  std::string peer_id;
  std::string message_id;
  std::string group_id;
  uint32_t attempt = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("message_id", s.message_id, FieldMark{});
    v("group_id", s.group_id, FieldMark{kId});
    v("attempt", s.attempt, FieldMark{});
  }
  bool operator==(const WelcomeSendAttempted&) const = default;
};

// 28
struct WelcomeSendSucceeded {
  static constexpr std::string_view kName = "WelcomeSendSucceeded";
  static constexpr std::string_view kTag = "welcome_send_succeeded";
  std::string peer_id;
  std::string message_id;
  std::string group_id;
  uint32_t attempt = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("message_id", s.message_id, FieldMark{});
    v("group_id", s.group_id, FieldMark{kId});
    v("attempt", s.attempt, FieldMark{});
  }
  bool operator==(const WelcomeSendSucceeded&) const = default;
};

// 29
struct WelcomeSendFailed {
  static constexpr std::string_view kName = "WelcomeSendFailed";
  static constexpr std::string_view kTag = "welcome_send_failed";
  std::string peer_id;
  std::string message_id;
  std::string group_id;
  uint32_t attempt = 0;
  WelcomeFailureReason reason_code{};
  std::optional<std::string> transport_error;
  bool retryable = false;
  std::optional<int64_t> next_retry_at;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("message_id", s.message_id, FieldMark{});
    v("group_id", s.group_id, FieldMark{kId});
    v("attempt", s.attempt, FieldMark{});
    v("reason_code", s.reason_code, FieldMark{});
    v("transport_error", s.transport_error, FieldMark{});
    v("retryable", s.retryable, FieldMark{});
    v("next_retry_at", s.next_retry_at, FieldMark{});
  }
  bool operator==(const WelcomeSendFailed&) const = default;
};

// 30
struct WelcomeSendExpired {
  static constexpr std::string_view kName = "WelcomeSendExpired";
  static constexpr std::string_view kTag = "welcome_send_expired";
  std::string peer_id;
  std::string message_id;
  uint32_t attempt = 0;
  WelcomeFailureReason reason_code{};
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("message_id", s.message_id, FieldMark{});
    v("attempt", s.attempt, FieldMark{});
    v("reason_code", s.reason_code, FieldMark{});
  }
  bool operator==(const WelcomeSendExpired&) const = default;
};

// 31
struct ConnectionRequestReceived {
  static constexpr std::string_view kName = "ConnectionRequestReceived";
  static constexpr std::string_view kTag = "connection_request_received";
  std::string sender;
  std::string sender_name;
  int64_t timestamp = 0;
  std::optional<Bytes> key_package;
  std::optional<std::string> initial_message;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("sender", s.sender, FieldMark{kId | kR});
    v("sender_name", s.sender_name, FieldMark{kId | kR});
    v("timestamp", s.timestamp, FieldMark{});
    v("key_package", s.key_package, FieldMark{kPresence, "has_key_package"});
    v("initial_message", s.initial_message, FieldMark{kPresence, "has_initial_message"});
  }
  bool operator==(const ConnectionRequestReceived&) const = default;
};

// 32
struct ConnectionRequestUndeliverable {
  static constexpr std::string_view kName = "ConnectionRequestUndeliverable";
  static constexpr std::string_view kTag = "connection_request_undeliverable";
  std::string recipient;
  std::string message_id;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("message_id", s.message_id, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const ConnectionRequestUndeliverable&) const = default;
};

// 33
struct ConnectionAccepted {
  static constexpr std::string_view kName = "ConnectionAccepted";
  static constexpr std::string_view kTag = "connection_accepted";
  std::string accepted_by;
  std::string accepted_by_name;
  int64_t timestamp = 0;
  std::optional<Bytes> key_package;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("accepted_by", s.accepted_by, FieldMark{kId | kR});
    v("accepted_by_name", s.accepted_by_name, FieldMark{kId | kR});
    v("timestamp", s.timestamp, FieldMark{});
    v("key_package", s.key_package, FieldMark{kPresence, "has_key_package"});
  }
  bool operator==(const ConnectionAccepted&) const = default;
};

// 34
struct ConnectionRejected {
  static constexpr std::string_view kName = "ConnectionRejected";
  static constexpr std::string_view kTag = "connection_rejected";
  std::string rejected_by;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("rejected_by", s.rejected_by, FieldMark{kId | kR});
  }
  bool operator==(const ConnectionRejected&) const = default;
};

// 35
struct ConnectionRequestCancelled {
  static constexpr std::string_view kName = "ConnectionRequestCancelled";
  static constexpr std::string_view kTag = "connection_request_cancelled";
  std::string cancelled_by;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("cancelled_by", s.cancelled_by, FieldMark{kId | kR});
  }
  bool operator==(const ConnectionRequestCancelled&) const = default;
};

// 36
struct GroupCreated {
  static constexpr std::string_view kName = "GroupCreated";
  static constexpr std::string_view kTag = "group_created";
  std::string group_id;
  std::string name;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("name", s.name, FieldMark{});
  }
  bool operator==(const GroupCreated&) const = default;
};

// 37
struct GroupMessageReceived {
  static constexpr std::string_view kName = "GroupMessageReceived";
  static constexpr std::string_view kTag = "group_message_received";
  std::string group_id;
  std::string sender;
  std::string content;
  std::string timestamp;
  std::string message_id;
  std::optional<std::string> reply_to_msg;
  std::optional<ForwardInfo> forward_info;
  std::optional<MediaMetadata> media_metadata;
  std::optional<std::string> content_type;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("sender", s.sender, FieldMark{kId | kR});
    v("content", s.content, FieldMark{kContent});
    v("timestamp", s.timestamp, FieldMark{kSkip});
    v("message_id", s.message_id, FieldMark{kSkip});
    v("reply_to_msg", s.reply_to_msg, FieldMark{kSkip});
    v("forward_info", s.forward_info, FieldMark{kId | kPresence});
    v("media_metadata", s.media_metadata, FieldMark{kSkip});
    v("content_type", s.content_type, FieldMark{kSkip});
  }
  bool operator==(const GroupMessageReceived&) const = default;
};

// 38
struct GroupMemberAdded {
  static constexpr std::string_view kName = "GroupMemberAdded";
  static constexpr std::string_view kTag = "group_member_added";
  std::string group_id;
  std::string user_id;
  std::string added_by;
  std::optional<std::string> group_name;
  std::optional<bool> authorized;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("user_id", s.user_id, FieldMark{kId | kR});
    v("added_by", s.added_by, FieldMark{kId | kR});
    v("group_name", s.group_name, FieldMark{});
    v("authorized", s.authorized, FieldMark{});
  }
  bool operator==(const GroupMemberAdded&) const = default;
};

// 39
struct GroupMemberRemoved {
  static constexpr std::string_view kName = "GroupMemberRemoved";
  static constexpr std::string_view kTag = "group_member_removed";
  std::string group_id;
  std::string user_id;
  std::string removed_by;
  std::optional<bool> authorized;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("user_id", s.user_id, FieldMark{kId | kR});
    v("removed_by", s.removed_by, FieldMark{kId | kR});
    v("authorized", s.authorized, FieldMark{});
  }
  bool operator==(const GroupMemberRemoved&) const = default;
};

// 40
struct GroupInfo {
  static constexpr std::string_view kName = "GroupInfo";
  static constexpr std::string_view kTag = "group_info";
  std::string group_id;
  std::string name;
  std::string created_by;
  std::string created_at;
  std::vector<GroupInfoMemberPayload> members;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("name", s.name, FieldMark{});
    v("created_by", s.created_by, FieldMark{kId | kR});
    v("created_at", s.created_at, FieldMark{});
    v("members", s.members, FieldMark{kId | kCount, "members_count"});
  }
  bool operator==(const GroupInfo&) const = default;
};

// 41
struct UserGroups {
  static constexpr std::string_view kName = "UserGroups";
  static constexpr std::string_view kTag = "user_groups";
  std::vector<UserGroupSummaryPayload> groups;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("groups", s.groups, FieldMark{kId | kCount, "groups_count"});
  }
  bool operator==(const UserGroups&) const = default;
};

// 42
struct GroupError {
  static constexpr std::string_view kName = "GroupError";
  static constexpr std::string_view kTag = "group_error";
  std::string reason;
  std::optional<std::string> group_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("reason", s.reason, FieldMark{});
    v("group_id", s.group_id, FieldMark{kId});
  }
  bool operator==(const GroupError&) const = default;
};

// 43
struct GroupRelaySyncChanged {
  static constexpr std::string_view kName = "GroupRelaySyncChanged";
  static constexpr std::string_view kTag = "group_relay_sync_changed";
  std::string group_id;
  bool synced = false;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("synced", s.synced, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const GroupRelaySyncChanged&) const = default;
};

// 44
struct UsernameResolved {
  static constexpr std::string_view kName = "UsernameResolved";
  static constexpr std::string_view kTag = "username_resolved";
  std::string username;
  std::vector<ResolvedClaim> claims;
  uint32_t rejected = 0;
  uint32_t truncated = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("username", s.username, FieldMark{kId | kU});
    v("claims", s.claims, FieldMark{kId | kCount, "claim_count"});
    v("rejected", s.rejected, FieldMark{});
    v("truncated", s.truncated, FieldMark{});
  }
  bool operator==(const UsernameResolved&) const = default;
};

// 45
struct GroupMessageSent {
  static constexpr std::string_view kName = "GroupMessageSent";
  static constexpr std::string_view kTag = "group_message_sent";
  std::string group_id;
  std::vector<std::string> message_ids;
  uint32_t member_count = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("message_ids", s.message_ids, FieldMark{kCount, "message_count"});
    v("member_count", s.member_count, FieldMark{});
  }
  bool operator==(const GroupMessageSent&) const = default;
};

// 46
struct GroupMessagePartialFailure {
  static constexpr std::string_view kName = "GroupMessagePartialFailure";
  static constexpr std::string_view kTag = "group_message_partial_failure";
  std::string group_id;
  std::vector<std::string> failed_members;
  std::vector<std::string> succeeded_members;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("failed_members", s.failed_members, FieldMark{kId | kCount, "failed_count"});
    v("succeeded_members", s.succeeded_members, FieldMark{kId | kCount, "succeeded_count"});
  }
  bool operator==(const GroupMessagePartialFailure&) const = default;
};

// 47
struct GroupMessageDeliveryReport {
  static constexpr std::string_view kName = "GroupMessageDeliveryReport";
  static constexpr std::string_view kTag = "group_message_delivery_report";
  std::string group_id;
  std::string message_id;
  std::vector<std::string> delivered;
  std::vector<std::string> pushed;
  std::vector<std::string> missed_reissued;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("message_id", s.message_id, FieldMark{});
    v("delivered", s.delivered, FieldMark{kId | kCount, "delivered_count"});
    v("pushed", s.pushed, FieldMark{kId | kCount, "pushed_count"});
    v("missed_reissued", s.missed_reissued, FieldMark{kId | kCount, "missed_reissued_count"});
  }
  bool operator==(const GroupMessageDeliveryReport&) const = default;
};

// 48
struct GroupRichExtrasDropped {
  static constexpr std::string_view kName = "GroupRichExtrasDropped";
  static constexpr std::string_view kTag = "group_rich_extras_dropped";
  std::string group_id;
  std::vector<std::string> unknown_members;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("unknown_members", s.unknown_members, FieldMark{kId | kCount, "unknown_count"});
  }
  bool operator==(const GroupRichExtrasDropped&) const = default;
};

// 49
struct GroupUnauthorizedMembershipChange {
  static constexpr std::string_view kName = "GroupUnauthorizedMembershipChange";
  static constexpr std::string_view kTag = "group_unauthorized_membership_change";
  std::string group_id;
  std::string committer;
  std::vector<std::string> added;
  std::vector<std::string> removed;
  std::string reason;
  bool enforced = false;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("committer", s.committer, FieldMark{kId | kR});
    v("added", s.added, FieldMark{kId | kCount, "added_count"});
    v("removed", s.removed, FieldMark{kId | kCount, "removed_count"});
    v("reason", s.reason, FieldMark{});
    v("enforced", s.enforced, FieldMark{});
  }
  bool operator==(const GroupUnauthorizedMembershipChange&) const = default;
};

// 50
struct GroupEpochForkDetected {
  static constexpr std::string_view kName = "GroupEpochForkDetected";
  static constexpr std::string_view kTag = "group_epoch_fork_detected";
  std::string group_id;
  std::optional<uint64_t> local_epoch;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("local_epoch", s.local_epoch, FieldMark{kNullWhenAbsent});
  }
  bool operator==(const GroupEpochForkDetected&) const = default;
};

// 51
struct GroupEpochForkResolved {
  static constexpr std::string_view kName = "GroupEpochForkResolved";
  static constexpr std::string_view kTag = "group_epoch_fork_resolved";
  std::string group_id;
  uint64_t resolved_epoch = 0;
  std::vector<std::string> failed_members;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("resolved_epoch", s.resolved_epoch, FieldMark{});
    v("failed_members", s.failed_members, FieldMark{kId});
  }
  bool operator==(const GroupEpochForkResolved&) const = default;
};

// 52
struct GroupRoleChanged {
  static constexpr std::string_view kName = "GroupRoleChanged";
  static constexpr std::string_view kTag = "group_role_changed";
  std::string group_id;
  std::string user_id;
  std::string new_role;
  std::string changed_by;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("user_id", s.user_id, FieldMark{kId | kR});
    v("new_role", s.new_role, FieldMark{});
    v("changed_by", s.changed_by, FieldMark{kId | kR});
  }
  bool operator==(const GroupRoleChanged&) const = default;
};

// 53
struct GroupRenamed {
  static constexpr std::string_view kName = "GroupRenamed";
  static constexpr std::string_view kTag = "group_renamed";
  std::string group_id;
  std::string new_name;
  std::optional<std::string> old_name;
  std::string renamed_by;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("group_id", s.group_id, FieldMark{kId});
    v("new_name", s.new_name, FieldMark{});
    v("old_name", s.old_name, FieldMark{kSkip | kNullWhenAbsent});
    v("renamed_by", s.renamed_by, FieldMark{kId | kR});
  }
  bool operator==(const GroupRenamed&) const = default;
};

// 54
struct ServiceDiscovered {
  static constexpr std::string_view kName = "ServiceDiscovered";
  static constexpr std::string_view kTag = "service_discovered";
  std::string query_id;
  std::string service_id;
  std::string version;
  std::string provider_peer_id;
  std::map<std::string, std::string> capabilities;
  uint8_t hop_count = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("query_id", s.query_id, FieldMark{});
    v("service_id", s.service_id, FieldMark{});
    v("version", s.version, FieldMark{});
    v("provider_peer_id", s.provider_peer_id, FieldMark{kId | kR});
    v("capabilities", s.capabilities, FieldMark{kCount, "capabilities_count"});
    v("hop_count", s.hop_count, FieldMark{});
  }
  bool operator==(const ServiceDiscovered&) const = default;
};

// 55
struct ServiceRequestReceived {
  static constexpr std::string_view kName = "ServiceRequestReceived";
  static constexpr std::string_view kTag = "service_request_received";
  std::string request_id;
  std::string service_id;
  std::string method;
  std::string body;
  std::string sender;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("request_id", s.request_id, FieldMark{});
    v("service_id", s.service_id, FieldMark{});
    v("method", s.method, FieldMark{});
    v("body", s.body, FieldMark{kContent});
    v("sender", s.sender, FieldMark{kId | kR});
  }
  bool operator==(const ServiceRequestReceived&) const = default;
};

// 56
struct ServiceResponseReceived {
  static constexpr std::string_view kName = "ServiceResponseReceived";
  static constexpr std::string_view kTag = "service_response_received";
  std::string request_id;
  std::string service_id;
  std::string status;
  std::string body;
  std::string provider_peer_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("request_id", s.request_id, FieldMark{});
    v("service_id", s.service_id, FieldMark{});
    v("status", s.status, FieldMark{});
    v("body", s.body, FieldMark{kContent});
    v("provider_peer_id", s.provider_peer_id, FieldMark{kId | kR});
  }
  bool operator==(const ServiceResponseReceived&) const = default;
};

// 57
struct PresenceUpdated {
  static constexpr std::string_view kName = "PresenceUpdated";
  static constexpr std::string_view kTag = "presence_updated";
  std::string peer_id;
  PresenceStatus status{};
  int64_t timestamp = 0;
  std::optional<int64_t> last_seen_ms;
  PresenceSource source{};
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("status", s.status, FieldMark{});
    v("timestamp", s.timestamp, FieldMark{});
    v("last_seen_ms", s.last_seen_ms, FieldMark{});
    v("source", s.source, FieldMark{});
  }
  bool operator==(const PresenceUpdated&) const = default;
};

// 58
struct TypingIndicatorReceived {
  static constexpr std::string_view kName = "TypingIndicatorReceived";
  static constexpr std::string_view kTag = "typing_indicator_received";
  std::string sender;
  std::string conversation_id;
  bool is_typing = false;
  int64_t timestamp = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("sender", s.sender, FieldMark{kId | kR});
    v("conversation_id", s.conversation_id, FieldMark{kId | kR});
    v("is_typing", s.is_typing, FieldMark{});
    v("timestamp", s.timestamp, FieldMark{});
  }
  bool operator==(const TypingIndicatorReceived&) const = default;
};

// 59
struct ReadReceiptReceived {
  static constexpr std::string_view kName = "ReadReceiptReceived";
  static constexpr std::string_view kTag = "read_receipt_received";
  std::string sender;
  std::vector<std::string> message_ids;
  int64_t timestamp = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("sender", s.sender, FieldMark{kId | kR});
    v("message_ids", s.message_ids, FieldMark{kCount, "message_count"});
    v("timestamp", s.timestamp, FieldMark{});
  }
  bool operator==(const ReadReceiptReceived&) const = default;
};

// 60
struct DorsScoreUpdated {
  static constexpr std::string_view kName = "DorsScoreUpdated";
  static constexpr std::string_view kTag = "dors_score_updated";
  std::vector<std::pair<std::string, float>> scores;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("scores", s.scores, FieldMark{});
  }
  bool operator==(const DorsScoreUpdated&) const = default;
};

// 61
struct DorsTransportSelected {
  static constexpr std::string_view kName = "DorsTransportSelected";
  static constexpr std::string_view kTag = "dors_transport_selected";
  std::optional<std::string> from;
  std::string transport;
  TransportSelectionReason reason_code{};
  float score = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("from", s.from, FieldMark{kNullWhenAbsent});
    v("transport", s.transport, FieldMark{});
    v("reason_code", s.reason_code, FieldMark{});
    v("score", s.score, FieldMark{});
  }
  bool operator==(const DorsTransportSelected&) const = default;
};

// 62
struct DorsTransportSwitched {
  static constexpr std::string_view kName = "DorsTransportSwitched";
  static constexpr std::string_view kTag = "dors_transport_switched";
  std::optional<std::string> from;
  std::string to;
  TransportSelectionReason reason_code{};
  std::optional<std::string> reason_detail;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("from", s.from, FieldMark{kNullWhenAbsent});
    v("to", s.to, FieldMark{});
    v("reason_code", s.reason_code, FieldMark{});
    v("reason_detail", s.reason_detail, FieldMark{});
  }
  bool operator==(const DorsTransportSwitched&) const = default;
};

// 63
struct DorsEscalationTriggered {
  static constexpr std::string_view kName = "DorsEscalationTriggered";
  static constexpr std::string_view kTag = "dors_escalation_triggered";
  EscalationPhase phase{};
  std::string from;
  std::string to;
  EscalationReason reason_code{};
  std::optional<std::string> reason_detail;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("phase", s.phase, FieldMark{});
    v("from", s.from, FieldMark{});
    v("to", s.to, FieldMark{});
    v("reason_code", s.reason_code, FieldMark{});
    v("reason_detail", s.reason_detail, FieldMark{});
  }
  bool operator==(const DorsEscalationTriggered&) const = default;
};

// 64
struct SecurityWarning {
  static constexpr std::string_view kName = "SecurityWarning";
  static constexpr std::string_view kTag = "security_warning";
  std::string peer_id;
  SecurityWarningReason reason_code{};
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("reason_code", s.reason_code, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const SecurityWarning&) const = default;
};

// 65
struct MessageRelayed {
  static constexpr std::string_view kName = "MessageRelayed";
  static constexpr std::string_view kTag = "message_relayed";
  std::string message_id;
  std::string sender;
  std::string recipient;
  uint8_t hop_count = 0;
  uint8_t remaining_ttl = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("message_id", s.message_id, FieldMark{});
    v("sender", s.sender, FieldMark{kId | kR});
    v("recipient", s.recipient, FieldMark{kId | kR});
    v("hop_count", s.hop_count, FieldMark{});
    v("remaining_ttl", s.remaining_ttl, FieldMark{});
  }
  bool operator==(const MessageRelayed&) const = default;
};

// 66
struct UserBlocked {
  static constexpr std::string_view kName = "UserBlocked";
  static constexpr std::string_view kTag = "user_blocked";
  std::string user_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("user_id", s.user_id, FieldMark{kId | kR});
  }
  bool operator==(const UserBlocked&) const = default;
};

// 67
struct UserUnblocked {
  static constexpr std::string_view kName = "UserUnblocked";
  static constexpr std::string_view kTag = "user_unblocked";
  std::string user_id;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("user_id", s.user_id, FieldMark{kId | kR});
  }
  bool operator==(const UserUnblocked&) const = default;
};

// 68
struct DataChanged {
  static constexpr std::string_view kName = "DataChanged";
  static constexpr std::string_view kTag = "data_changed";
  std::string space_id;
  std::string doc_id;
  uint64_t delta_bytes = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("doc_id", s.doc_id, FieldMark{kId | kR});
    v("delta_bytes", s.delta_bytes, FieldMark{});
  }
  bool operator==(const DataChanged&) const = default;
};

// 69
struct DataDocRemoved {
  static constexpr std::string_view kName = "DataDocRemoved";
  static constexpr std::string_view kTag = "data_doc_removed";
  std::string space_id;
  std::string doc_id;
  DocRemovalOrigin by{};
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("doc_id", s.doc_id, FieldMark{kId | kR});
    v("by", s.by, FieldMark{});
  }
  bool operator==(const DataDocRemoved&) const = default;
};

// 70
struct DataDocSizeWarning {
  static constexpr std::string_view kName = "DataDocSizeWarning";
  static constexpr std::string_view kTag = "data_doc_size_warning";
  std::string space_id;
  std::string doc_id;
  uint64_t compacted_bytes = 0;
  uint64_t cap_bytes = 0;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("doc_id", s.doc_id, FieldMark{kId | kR});
    v("compacted_bytes", s.compacted_bytes, FieldMark{});
    v("cap_bytes", s.cap_bytes, FieldMark{});
  }
  bool operator==(const DataDocSizeWarning&) const = default;
};

// 71
struct DataAttachmentRequested {
  static constexpr std::string_view kName = "DataAttachmentRequested";
  static constexpr std::string_view kTag = "data_attachment_requested";
  std::string space_id;
  std::string peer_id;
  std::string hash;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("hash", s.hash, FieldMark{});
  }
  bool operator==(const DataAttachmentRequested&) const = default;
};

// 72
struct DataAttachmentReceived {
  static constexpr std::string_view kName = "DataAttachmentReceived";
  static constexpr std::string_view kTag = "data_attachment_received";
  std::string space_id;
  std::string peer_id;
  std::string hash;
  std::string data;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("hash", s.hash, FieldMark{});
    v("data", s.data, FieldMark{kDataChars});
  }
  bool operator==(const DataAttachmentReceived&) const = default;
};

// 73
struct DataAttachmentUnavailable {
  static constexpr std::string_view kName = "DataAttachmentUnavailable";
  static constexpr std::string_view kTag = "data_attachment_unavailable";
  std::string space_id;
  std::string peer_id;
  std::string hash;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("peer_id", s.peer_id, FieldMark{kId | kR});
    v("hash", s.hash, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const DataAttachmentUnavailable&) const = default;
};

// 74
struct DataDocUnsyncable {
  static constexpr std::string_view kName = "DataDocUnsyncable";
  static constexpr std::string_view kTag = "data_doc_unsyncable";
  std::string space_id;
  std::string doc_id;
  uint64_t bytes = 0;
  std::string reason;
  template <typename Self, typename V>
  static void each_field(Self& s, V&& v) {
    v("space_id", s.space_id, FieldMark{kId | kR});
    v("doc_id", s.doc_id, FieldMark{kId | kR});
    v("bytes", s.bytes, FieldMark{});
    v("reason", s.reason, FieldMark{});
  }
  bool operator==(const DataDocUnsyncable&) const = default;
};
}  // namespace event

class ProtocolEvent {
 public:
  using Variant = std::variant<
      event::MessageSent, event::MessageReceived, event::MessageDelivered, event::MessageFailed,
      event::MessageDecryptionFailed, event::TransportSwitched, event::RelayPromoted,
      event::RelayDemoted, event::NeighborDiscovered, event::NeighborLost, event::IdentityReady,
      event::NetworkMetrics, event::FileProgress, event::FileReceived, event::FileReceiveFailed,
      event::MediaSent, event::MediaSendFailed, event::MessageDeferred, event::MessageRetrying,
      event::MessageUndeliverable, event::MediaResendRequired, event::AckEvicted,
      event::FragmentAssemblyEvicted, event::RelayDemotedBattery, event::SecureSessionEstablished,
      event::SecureSessionFailed, event::ConvergenceDiag, event::WelcomeSendAttempted,
      event::WelcomeSendSucceeded, event::WelcomeSendFailed, event::WelcomeSendExpired,
      event::ConnectionRequestReceived, event::ConnectionRequestUndeliverable,
      event::ConnectionAccepted, event::ConnectionRejected, event::ConnectionRequestCancelled,
      event::GroupCreated, event::GroupMessageReceived, event::GroupMemberAdded,
      event::GroupMemberRemoved, event::GroupInfo, event::UserGroups, event::GroupError,
      event::GroupRelaySyncChanged, event::UsernameResolved, event::GroupMessageSent,
      event::GroupMessagePartialFailure, event::GroupMessageDeliveryReport,
      event::GroupRichExtrasDropped, event::GroupUnauthorizedMembershipChange,
      event::GroupEpochForkDetected, event::GroupEpochForkResolved, event::GroupRoleChanged,
      event::GroupRenamed, event::ServiceDiscovered, event::ServiceRequestReceived,
      event::ServiceResponseReceived, event::PresenceUpdated, event::TypingIndicatorReceived,
      event::ReadReceiptReceived, event::DorsScoreUpdated, event::DorsTransportSelected,
      event::DorsTransportSwitched, event::DorsEscalationTriggered, event::SecurityWarning,
      event::MessageRelayed, event::UserBlocked, event::UserUnblocked, event::DataChanged,
      event::DataDocRemoved, event::DataDocSizeWarning, event::DataAttachmentRequested,
      event::DataAttachmentReceived, event::DataAttachmentUnavailable, event::DataDocUnsyncable>;
  static constexpr size_t kKindCount = 75;

  template <typename T,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<T>, ProtocolEvent>>>
  ProtocolEvent(T&& kind) : v_(std::forward<T>(kind)) {}  // NOLINT: implicit by design

  // Position of the kind in declaration order, 0..74.
  size_t kind() const { return v_.index(); }
  // "MessageReceived", ...
  std::string_view kind_name() const;
  // Host JSON tag: "message_received", ...
  std::string_view tag() const;

  const Variant& variant() const { return v_; }
  Variant& variant() { return v_; }
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }
  template <typename T>
  T* get_if() {
    return std::get_if<T>(&v_);
  }

  // The diagnostic text form for logs: "NeighborLost { peer_id: \"[REDACTED]\" }".
  // Masking is unconditional.
  std::string diagnostic_text() const;
  void diagnostic_text(std::string& out) const;

  // Calls `fn` on every identifier field in declaration order: a present
  // optional one, every element of an identifier list, and the identifier
  // sub-fields of marked nested records. The caller may rewrite the text.
  void for_each_identifier(const std::function<void(std::string&)>& fn);

  // Clears encryption_key and iv of the media descriptor of the three kinds
  // that carry one (the copy meant for a host or telemetry sink).
  void clear_media_key_material();

  bool operator==(const ProtocolEvent&) const = default;

 private:
  Variant v_;
};

}  // namespace brenvik
