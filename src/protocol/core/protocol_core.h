// ProtocolCore: the one object that holds the whole protocol state of a
// library instance: the validated configuration, the transport registry
// with its router, the reliability tables, the send-side tables (outbox,
// sent index, parks, unrouted acknowledgements) and the mutex-guarded
// shared state through which every event leaves.
//
// It has no thread of its own. Every operation runs on the calling host
// thread; the facade's `inner` lock makes the caller exclusive. The shared
// state's mutex is the only lock taken here, briefly: to read or change the
// lifecycle and to deliver one event. It is never held while a transport,
// the registry or another component is called.
//
// Time: every time-out reads the injected Clock (monotonic for intervals,
// wall clock for stored and reported times), so tests move time.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/message.h"
#include "protocol/common/protocol_error.h"
#include "protocol/config/protocol_config.h"
#include "protocol/control/control_gate.h"
#include "protocol/emit/event_delivery.h"
#include "protocol/emit/event_emitter.h"
#include "protocol/emit/security_throttle.h"
#include "protocol/emit/shared_state.h"
#include "protocol/events/event_enums.h"
#include "protocol/events/protocol_event.h"
#include "protocol/media/file_transfer_manager.h"
#include "protocol/media/media_transfer.h"
#include "protocol/mesh/mesh_neighbors.h"
#include "protocol/mls_state/mls_state.h"
#include "protocol/outbox/outbox.h"
#include "protocol/receive/dispatch_outcome.h"
#include "protocol/records/pending_message.h"
#include "protocol/transport_manager.h"
#include "reliability/ack_manager.h"
#include "reliability/deduplicator.h"
#include "reliability/retry_queue.h"
#include "util/clock.h"
#include "util/result.h"

namespace brenvik {

// Options of ProtocolCore::send_message, filled by the facade.
struct SendOptions {
  std::optional<ReplyContext> reply_context;
  std::optional<MediaMetadata> media_metadata;
  std::optional<std::string> reply_to_msg;  // UUID text
  std::optional<ForwardInfo> forward_info;
  std::optional<std::string> app_id;        // absent: the configured App ID
  std::optional<MessagePriority> priority;  // absent: Medium
  std::optional<TransportType> forced_transport;
  std::optional<ContentType> content_type;  // absent: text
};

// What the outgoing encryption policy made of a content.
struct OutgoingContent {
  enum class Kind : uint8_t { Ready, Queued };
  Kind kind = Kind::Ready;
  std::string content;  // Ready
  MessageId queued_id;  // Queued
};

// Inputs of one preparation by the outgoing encryption policy.
struct PrepareRequest {
  std::string recipient;
  std::string content;
  MessagePriority priority = MessagePriority::Medium;
  std::optional<MessageId> reply_to_msg;
  std::optional<ForwardInfo> forwarded_from;
  ContentType content_type = ContentType::Text;
  std::optional<MediaMetadata> media_metadata;
  std::optional<RichSendExtras> rich;
  std::optional<std::string> app_id;
  std::string_view source_event;
};

class ProtocolCore {
 public:
  static constexpr size_t kOutboxCapacity = Outbox::kCapacity;
  static constexpr size_t kChunkOutboxCapacity = Outbox::kChunkCapacity;
  static constexpr size_t kUnroutedAckCapacity = Outbox::kUnroutedAckCapacity;
  static constexpr size_t kDeferredEventCapacity = DeferredEvents::kCapacity;
  static constexpr size_t kMaxContentBytes = 262144;
  static constexpr size_t kMaxReadReceiptIds = 256;
  static constexpr uint32_t kRetryPassLimit = 20;
  static constexpr double kRetryBucketCapacity = 24.0;
  static constexpr double kRetryBucketRefillPerSec = 8.0;
  static constexpr int64_t kCustodySweepIntervalSecs = 60;
  static constexpr int64_t kKnownPeerLifetimeSecs = 1800;
  static constexpr std::string_view kLogTarget = "brenvik_protocol::protocol";
  static constexpr std::string_view kSendLogTarget = "brenvik_protocol::protocol::send";

  // Validates the configuration and builds a stopped core with no
  // transport, no MLS manager and no storage. The only failure is the
  // configuration error of the first failing rule.
  static Result<std::unique_ptr<ProtocolCore>, ProtocolError> create(
      ProtocolConfig config, const Clock& clock = system_clock());
  ~ProtocolCore();
  ProtocolCore(const ProtocolCore&) = delete;
  ProtocolCore& operator=(const ProtocolCore&) = delete;

  // ---------------------------------------------------------------- state
  const ProtocolConfig& config() const { return config_; }
  const std::string& local_user_id() const { return local_user_id_; }
  const Clock& clock() const { return clock_; }
  // Appends an observer; it receives a copy of every delivered event.
  void add_observer(EventObserver observer);
  // The lifecycle; a poisoned shared state reads as an error.
  Result<LifecycleState, ProtocolError> lifecycle() const;
  uint64_t lamport_clock() const { return lamport_clock_; }
  const std::array<uint8_t, 16>& scrub_secret() const { return scrub_secret_; }

  TransportManager& transports() { return transport_manager_; }
  AckManager& ack_manager() { return ack_manager_; }
  RetryQueue& retry_queue() { return retry_queue_; }
  Deduplicator& deduplicator() { return deduplicator_; }

  // Blocked users (filled by the blocking operations).
  bool is_user_blocked(const std::string& user_id) const {
    return blocked_users_.contains(user_id);
  }
  void set_user_blocked(const std::string& user_id, bool blocked);

  // ------------------------------------------------------------ lifecycle
  // Stopped -> Running; "Protocol already started" otherwise.
  Result<void, ProtocolError> start();
  // Running/Paused -> Stopped; a stopped core succeeds doing nothing.
  Result<void, ProtocolError> stop();
  // Running -> Paused; "Protocol not started" otherwise.
  Result<void, ProtocolError> pause();
  // Paused -> Running; the configuration error "Protocol is not paused" otherwise.
  Result<void, ProtocolError> resume();

  // ---------------------------------------------------------------- events
  // Delivers now whatever the lifecycle; dropped when the state is poisoned.
  void emit_event(ProtocolEvent event);
  // Delivers now when Running, else keeps (at most 8192, the rest counted).
  void emit_or_defer_event(ProtocolEvent event);
  void emit_or_defer_event_batch(std::vector<ProtocolEvent> events);
  // Delivers and clears the deferred buffer; one WARN for dropped events.
  void flush_deferred_events();

  // ------------------------------------------------------------------ tick
  // One pass of all time-driven work while Running; nothing otherwise.
  Result<void, ProtocolError> process_tick();

  // --------------------------------------------------------------- sending
  Result<MessageId, ProtocolError> send_message(const std::string& recipient,
                                                const std::string& content,
                                                const SendOptions& options);
  Result<Message, ProtocolError> build_message(const std::string& recipient, std::string content,
                                               MessagePriority priority,
                                               std::optional<MessageId> reply_to_msg,
                                               std::optional<std::string> app_id);
  Result<OutgoingContent, ProtocolError> prepare_outgoing(const PrepareRequest& request);
  Result<MessageId, ProtocolError> send_prepared(Message message);
  Result<MessageId, ProtocolError> send_via_forced_transport(Message message, TransportType type);
  void record_sent_message(const MessageId& id, SentRecord record);

  // Control messages composed by the protocol itself.
  Result<MessageId, ProtocolError> send_internal(const std::string& recipient, std::string content,
                                                 MessagePriority priority);
  Result<MessageId, ProtocolError> send_relay_frame(std::string content);
  Result<MessageId, ProtocolError> send_presence_update(const std::string& recipient,
                                                        PresenceStatus status);
  Result<MessageId, ProtocolError> send_typing_indicator(const std::string& recipient,
                                                         const std::string& conversation_id,
                                                         bool is_typing);
  Result<MessageId, ProtocolError> send_read_receipt(const std::string& recipient,
                                                     std::vector<std::string> message_ids);

  // ---------------------------------------------------------------- outbox
  void outbox_insert(const Message& message);
  void persist_outbox_entry(const Message& message, std::optional<TransportType> last_transport,
                            uint32_t attempt_count);
  std::optional<OutboxEntry> clear_outbox_entry(const MessageId& id);
  std::optional<OutboxEntry> settle_outbox_entry(const MessageId& id);
  std::optional<OutboxEntry> fail_outbox_entry(const MessageId& id, std::string_view reason);
  void expire_outbox_entries();
  bool is_parked_dm(const MessageId& id) const;
  std::optional<std::string> take_pending_connection_request(const MessageId& id);
  void record_pending_connection_request(const MessageId& id, std::string recipient);
  std::optional<TransportType> media_transfer_transport(const MessageId& id) const;
  // Sets relay_pushed of an outbox entry (the relay's verdict).
  void mark_relay_pushed(const MessageId& id);

  // ----------------------------------------------- deferral, retries, parks
  Result<void, ProtocolError> on_transport_accepted(const Message& message,
                                                    std::optional<TransportType> transport);
  std::optional<int64_t> defer_message(const Message& message,
                                       std::optional<TransportType> transport);
  Result<bool, ProtocolError> track_ack(const Message& message);
  void park_unreachable_dm(const MessageId& id, const std::string& recipient,
                           uint32_t attempt_count, bool stored);
  void release_parked_dms(const std::string& recipient);
  void resend_reseal(Message& message);

  // --------------------------------------------- delivery acknowledgements
  Result<void, ProtocolError> send_delivery_ack(const Message& received,
                                                TransportType inbound_transport);
  void route_delivery_ack(const Message& ack, TransportType inbound_transport);
  bool send_ack_via_route(const Message& ack, TransportType inbound_transport);
  void hold_unrouted_ack(Message ack, TransportType transport, MonoTime held_at);
  bool recipient_reachable(const std::string& recipient) const;
  void settle_delivery_ack(const Message& incoming);

  // ------------------------------------------------------------ receiving
  static constexpr std::string_view kReceiveLogTarget = "brenvik_protocol::protocol::receive";
  static constexpr std::string_view kDispatchLogTarget =
      "brenvik_protocol::protocol::message_dispatch";
  static constexpr std::string_view kSecurityLogTarget = "brenvik_protocol::protocol::security";
  static constexpr uint64_t kLamportPersistStep = 64;

  // The next message for the host. Messages waiting in ready_messages come
  // first; otherwise the registry is polled and every frame that is not for
  // the host (acknowledgements, duplicates, internal kinds, refused,
  // blocked, forged or foreign traffic) is consumed on the way. A returned
  // message has already been announced with message_received. Nothing when
  // the registry holds no further message or the shared state is poisoned.
  // Works in every lifecycle state.
  std::optional<Message> receive_message();
  // Runs receive_message until it returns nothing, discarding what it
  // returns (the ingress entries' drain). Returns how many messages were
  // delivered to the host.
  size_t drain_received();
  // The dispatcher: the control gate, then the kind's handler. `arrival`
  // is the transport the frame came in on, none for a replayed message.
  DispatchOutcome dispatch_message(Message& message, std::optional<TransportType> arrival);
  // The control gate; only the dispatcher calls it. Anything that is not a
  // control message is admitted unsigned at once.
  ControlAdmission authenticate_control_message(const Message& message,
                                                std::optional<TransportType> arrival);
  // Whether a plaintext message from `sender` may be delivered.
  bool plaintext_acceptable_from(const std::string& sender);
  // Raises PLAINTEXT_RECEIVE_REJECTED once per sender (the warned set is
  // emptied when it reaches 1000 senders).
  void check_inbound_encryption_policy(const std::string& sender, std::string_view detail);
  // The MLS component: the manager cell (set once by restore_protocol_state),
  // the two storages and the identity binding.
  bool mls_initialized() const { return mls_state_.has_manager(); }
  const MlsState& mls_state() const { return mls_state_; }
  // The MLS half of initialize_mls: builds the manager over `secure`, binds
  // the local user id to the identity's address, installs both storages,
  // runs the restore steps in order and, once all succeeded, installs the
  // manager and emits IdentityReady. On failure nothing of the core is
  // changed. A core that already has a manager succeeds at once.
  Result<void, ProtocolError> restore_protocol_state(std::shared_ptr<mls::MlsStorage> secure,
                                                     std::shared_ptr<ProtocolStateStorage> state);
  // Peers known to sign control messages (filled by the key-package path).
  void mark_encryption_capable(const std::string& peer);
  // The config switches under the names the receive side uses.
  bool withhold_ack_on_decrypt_failure() const {
    return config_.switches.report_decryption_failures;
  }
  bool enforce_control_freshness() const { return config_.switches.session_switch; }

  // ----------------------------------------------------------------- media
  static constexpr std::string_view kFileTransferLogTarget = "brenvik_protocol::file_transfer";
  static constexpr size_t kMaxMediaRichExtrasBytes = 32768;
  static constexpr size_t kMaxFileIdBytes = 4096;
  static constexpr uint64_t kMaxMediaTransfersPerPeer = 2;

  // Sends a whole file to one peer as acknowledged chunk messages on one
  // transport and returns the transfer's file id at once; the pump releases
  // the rest of the chunks as acknowledgements free the window. Every
  // refusal before the transfer is registered leaves no trace.
  Result<std::string, ProtocolError> send_media(const std::string& recipient, ByteView file_data,
                                                const std::string& file_name,
                                                ContentType content_type,
                                                const MediaSendRequest& request,
                                                std::optional<DataPurpose> data_purpose = {});
  // The registry's current transport when usable for media, else the
  // internet relay, a live Wi-Fi Direct link to the peer, BLE.
  Result<TransportType, ProtocolError> choose_media_transport(const std::string& recipient) const;
  // Turns a batch of one transfer's chunks into messages on its transport;
  // a refused chunk is deferred to the outbox, never resent here.
  Result<void, ProtocolError> send_media_chunks(
      const std::string& file_id, std::vector<FileChunk> batch, const std::string& recipient,
      TransportType transport, ContentType content_type, const MediaMetadata* media_metadata,
      const MediaRichExtras* extras, const DataPurpose* data_purpose,
      const std::optional<std::string>& app_id);
  // One tick's refill of every transfer's window.
  void pump_media_chunks();
  // Unknown ids do nothing; a host transfer raises MediaSendFailed.
  void abort_outbound_media_transfer(const std::string& file_id, std::string_view reason);
  // Transfers registered to `recipient` (byte-exact match), clear ones too;
  // and those among them that carry a data purpose.
  uint64_t count_active_media_transfers_to(std::string_view recipient) const;
  uint64_t count_active_data_transfers_to(std::string_view recipient) const;
  // The per-peer concurrency rule of sealed sends: at most two transfers to
  // a peer, at most one of them for the data layer.
  Result<void, ProtocolError> check_media_transfer_limit(const std::string& recipient,
                                                         bool data_layer) const;
  FileTransferManager& file_transfers() { return file_transfers_; }
  // One inbound file_chunk message: plaintext JSON, plaintext binary or a
  // sealed media envelope. The caller acknowledges only Consumed.
  MediaChunkOutcome receive_media_chunk(const Message& message, TransportType arrival);

  // ------------------------------------------------------------ hand-off
  uint64_t hand_to_neighbors(const Message& message);

  // ---------------------------------------------------------------- flush
  // Offers the unrouted acknowledgements and every outbox entry to the
  // transports again (the first 20 now, the rest rescheduled).
  void flush_outbox();
  void flush_outbox_for_peer(const std::string& peer_id, std::optional<TransportType> transport);

  // ------------------------------------------------------------ neighbours
  // A peer came into reach (the facade passes no transport). Our own id and
  // a blocked user are ignored; any other peer is recorded in the known-peer
  // table (the least recently seen one makes room when it is full) and gets
  // its waiting outbox entries offered again.
  void on_neighbor_discovered(const std::string& peer_id, std::optional<TransportType> transport);
  // A peer went out of reach on every radio: only forwards to peer_lost.
  void on_peer_lost(const std::string& peer_id);
  // Forgets what only makes sense while the peer is around: its known-peer
  // entry and its intake bucket of the mesh relay. Outbox entries, sessions
  // and parks stay. A peer in none of them changes nothing.
  void peer_lost(const std::string& peer_id);

  // ---------------------------------------------------------------- relay
  // One run of the tick's relay gate: refreshes the battery snapshot and the
  // relay-wide bucket, and promotes or demotes the device (raising
  // RelayPromoted, RelayDemoted or RelayDemotedBattery on a change).
  void relay_gate();
  // Whether the device currently counts as a relay (what is_relay answers).
  bool is_relay() const { return mesh_.is_relay(); }
  // The forwarding path counts each frame it forwards for another device.
  void count_forward_for_others();

  // ------------------------------------------------------ configuration
  // Replaces the `ack` section after checking the whole configuration with
  // it; InvalidConfig with the first failing rule changes nothing.
  Result<void, ProtocolError> update_ack_config(uint64_t default_timeout_ms,
                                                uint64_t max_pending_acks);
  // Replaces the `relay` section; the relay gate and the forwarding path
  // read it at their next decision.
  Result<void, ProtocolError> update_relay_config(const RelayConfig& relay);

  // ----------------------------------------------------------- forwarding
  // Forwards a message the host holds to one peer: Running, a valid and
  // unblocked recipient, the forward checks, the size and the rich extras,
  // then the send road. A copy queued behind a pending session returns the
  // queued id.
  Result<MessageId, ProtocolError> forward_message(const Message& original,
                                                   const std::string& recipient,
                                                   MessagePriority priority);

  // Forwards a message the host holds to a group: refuses reserved-marker
  // content, file chunks and a forward chain longer than 100, checks the
  // rich extras, then needs the group's roster. Returns the ids of the
  // copies sent.
  Result<std::vector<MessageId>, ProtocolError> forward_message_to_group(
      const Message& message, const std::string& group_id, std::optional<MessagePriority> priority);

  // ----------------------------------------------------------- test hooks
  // The components themselves, for tests that look inside; nothing in the
  // library calls these.
  MeshNeighbors& TEST_mesh() { return mesh_; }
  ControlGate& TEST_control_gate() { return control_gate_; }
  const SharedStateHandle& TEST_shared() const { return events_.handle(); }
  const Outbox& TEST_outbox() const { return outbox_; }
  const std::unordered_map<std::string, MediaPumpState>& TEST_media_pump_states() const {
    return media_pump_states_;
  }
  const std::unordered_map<std::string, OutboundMediaTransfer>& TEST_outbound_media_transfers()
      const {
    return outbound_media_transfers_;
  }
  const std::unordered_map<std::string, MediaTransferDescriptor>& TEST_media_descriptors() const {
    return media_descriptors_;
  }
  size_t TEST_media_binding_count() const { return media_bindings_.size(); }
  double TEST_retry_tokens() const { return retry_tokens_; }
  // Count of changes to the deduplicator's received ids not yet persisted.
  uint32_t TEST_seen_set_changes() const { return seen_set_dirty_; }
  size_t TEST_deferred_event_count() const { return events_.deferred_count(); }
  uint64_t TEST_deferred_events_dropped() const { return events_.deferred_dropped(); }

 private:
  ProtocolCore(ProtocolConfig config, const Clock& clock);

  // Tick steps.
  Result<void, ProtocolError> retry_pass();
  void custody_sweep();
  Result<void, ProtocolError> settle_ack_timeouts();
  void maintenance_pass();
  void forget_stale_known_peers();
  std::optional<TransportType> flush_send(Message message, uint32_t attempt_count,
                                          std::optional<TransportType> transport);

  // Event helpers of the transport stage.
  Result<void, ProtocolError> emit_transport_switch(std::optional<TransportType> previous,
                                                    std::optional<TransportType> carrying);
  Result<void, ProtocolError> emit_message_sent(const Message& message);
  Result<void, ProtocolError> deliver_locked(ProtocolEvent event, std::string_view failure_log,
                                             std::string_view log_target);
  Result<void, ProtocolError> require_running() const;
  void advance_lamport_for_send();
  // Media: the acknowledgement of one chunk message, and the descriptor table.
  void settle_media_chunk_ack(const MessageId& id);
  void persist_media_descriptor(const MediaTransferDescriptor& descriptor);
  void clear_media_descriptor(const std::string& file_id);
  void track_inbound_chunk(const std::string& sender, const Message& message, FileChunk chunk,
                           std::optional<MediaMetadata> media_metadata,
                           std::optional<ContentType> content_type);
  void emit_decryption_failed(const Message& message, DecryptionFailureCode code,
                              std::string reason);
  // Inbound transfers idle for 300 s end with FileReceiveFailed "stale_timeout".
  void prune_stale_inbound_transfers();
  // Encrypts a media envelope for the peer's confirmed 1:1 session.
  Result<Bytes, ProtocolError> seal_media_envelope(const std::string& recipient, ByteView envelope);

  // Receive pipeline steps.
  std::optional<Message> receive_from_transports();
  void settle_incoming_ack(const Message& m, bool blocked);
  void forget_received_id(const Message& m);
  std::optional<Message> deliver_received(Message m, TransportType arrival, bool encrypted);
  void acknowledge_received(const Message& m, TransportType arrival, std::string_view failure_log);
  // Signal handlers of the dispatcher.
  void handle_presence(const std::string& sender, std::string_view body);
  void handle_typing(const std::string& sender, std::string_view body);
  void handle_read_receipt(const std::string& sender, std::string_view body);
  DispatchOutcome handle_encrypted_message(const std::string& sender, std::string_view payload,
                                           const Message& message);

  ProtocolConfig config_;
  const Clock& clock_;
  std::string local_user_id_;
  MlsState mls_state_;
  uint64_t lamport_clock_ = 0;
  uint64_t persisted_lamport_clock_ = 0;
  uint32_t seen_set_dirty_ = 0;

  TransportManager transport_manager_;
  AckManager ack_manager_;
  RetryQueue retry_queue_;
  Deduplicator deduplicator_;

  EventEmitter events_;
  std::array<uint8_t, 16> scrub_secret_{};

  MonoTime last_custody_sweep_;
  std::unordered_map<MessageId, std::unordered_map<std::string, int64_t>, MessageIdHash>
      custody_receipts_;
  double retry_tokens_ = 0;
  std::optional<MonoTime> retry_tokens_refilled_at_;

  std::unordered_set<std::string> blocked_users_;
  ControlGate control_gate_;
  Outbox outbox_;
  MeshNeighbors mesh_;

  FileTransferManager file_transfers_{FileTransferConfig{}, clock_};
  std::unordered_map<std::string, OutboundMediaTransfer> outbound_media_transfers_;
  std::unordered_map<MessageId, std::pair<std::string, uint32_t>, MessageIdHash> media_bindings_;
  std::unordered_map<std::string, MediaPumpState> media_pump_states_;
  std::unordered_map<std::string, MediaTransferDescriptor> media_descriptors_;
  std::unordered_map<std::string, InboundTransferContext> inbound_transfers_;
};

// Send-side checks shared by every send path.
Result<void, ProtocolError> validate_recipient_id(std::string_view recipient);
Result<std::optional<std::string>, ProtocolError> validate_optional_app_id(
    const std::optional<std::string>& app_id);
Result<void, ProtocolError> check_content_size(std::string_view content);
// The checks every forward makes of the message it copies (reserved
// marker, file chunk, forward chain of at most 100); gives the copy's
// forward info.
Result<ForwardInfo, ProtocolError> check_forwardable(const Message& original);
// Refuses extras whose serialized form is too large (InvalidInput) or
// cannot be written (Serialization).
Result<void, ProtocolError> check_rich_extras(const RichSendExtras& extras);
ProtocolError format_invalid_reply_to(const CoreError& e);
// Reads a message from its JSON form (object or array); the error is the
// reader's text.
Result<Message, std::string> parse_message_json(std::string_view json);
// Writes decrypted text into a received message: a valid rich payload
// gives the content and its extras (reply context, media metadata, forward
// info, and the content type when it names one); anything else becomes the
// content unchanged. The old reply context is always cleared and metadata
// "encrypted" is set to "true".
void parse_rich_content(Message& message, std::string_view text);

}  // namespace brenvik
