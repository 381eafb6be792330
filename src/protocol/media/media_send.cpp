// The outbound media road: the refusals of a media send in their fixed
// order, the choice of one transport for the whole transfer, the chunk
// messages, the pump that refills each transfer's window as acknowledgements
// arrive, and the abort of a transfer whose chunk failed for good.
#include <algorithm>

#include "crypto/sha256.h"
#include "protocol/core/protocol_core.h"
#include "util/hex.h"
#include "util/log.h"

namespace brenvik {

namespace {

constexpr std::string_view kMediaEncryptionRequiredText =
    "MLS encryption is required (the default) but MLS is not initialized \xE2\x80\x94 call "
    "initialize_mls() with secure and protocol-state storage, or explicitly opt out with "
    "require_encryption=false to send plaintext media";
constexpr std::string_view kDataLayerUnsealedText =
    "a document-layer transfer cannot be sent unsealed: its marking travels inside the encrypted "
    "chunk, and a receiver would surface the bytes to its user as an ordinary file";

// The core's send-failure variant: the text as it is, code
// transport_send_failed.
ProtocolError send_failed(std::string reason) {
  return ProtocolError::internal(std::move(reason));
}

}  // namespace

// ------------------------------------------------------------- the counts

uint64_t ProtocolCore::count_active_media_transfers_to(std::string_view recipient) const {
  uint64_t n = 0;
  for (const auto& [_, t] : outbound_media_transfers_)
    if (t.recipient == recipient) ++n;
  return n;
}

uint64_t ProtocolCore::count_active_data_transfers_to(std::string_view recipient) const {
  uint64_t n = 0;
  for (const auto& [_, t] : outbound_media_transfers_)
    if (t.recipient == recipient && t.data_purpose) ++n;
  return n;
}

Result<void, ProtocolError> ProtocolCore::check_media_transfer_limit(const std::string& recipient,
                                                                     bool data_layer) const {
  if (count_active_media_transfers_to(recipient) >= kMaxMediaTransfersPerPeer)
    return Err(ProtocolError::media_transfer_limit(recipient));
  if (data_layer && count_active_data_transfers_to(recipient) >= 1)
    return Err(ProtocolError::media_transfer_limit(recipient));
  return {};
}

// ------------------------------------------------------ transport choice

Result<TransportType, ProtocolError> ProtocolCore::choose_media_transport(
    const std::string& recipient) const {
  AvailableTransports available = transport_manager_.available_transports();
  auto usable = [&](TransportType t) {
    if (!available.contains(t)) return false;
    // Wi-Fi Direct carries a transfer only over a live link to this peer.
    return t != TransportType::WifiDirect ||
           transport_manager_.has_direct_mesh_link(TransportType::WifiDirect, recipient);
  };
  if (auto current = transport_manager_.current_transport(); current && usable(*current))
    return *current;
  for (TransportType t : {TransportType::Internet, TransportType::WifiDirect, TransportType::Ble})
    if (usable(t)) return t;
  return Err(send_failed("No available transport for media transfer"));
}

// ------------------------------------------------------------ descriptors

void ProtocolCore::persist_media_descriptor(const MediaTransferDescriptor& descriptor) {
  media_descriptors_.insert_or_assign(descriptor.file_id, descriptor);
  // The record is written through to the protocol-state storage once a
  // provider can be installed; until then the descriptor lives in memory.
}

void ProtocolCore::clear_media_descriptor(const std::string& file_id) {
  media_descriptors_.erase(file_id);
}

// ------------------------------------------------------------------ send

Result<std::string, ProtocolError> ProtocolCore::send_media(
    const std::string& recipient, ByteView file_data, const std::string& file_name,
    ContentType content_type, const MediaSendRequest& request,
    std::optional<DataPurpose> data_purpose) {
  {
    auto g = lock_shared_state(events_.state());
    if (!g.ok()) return Err(send_failed("Shared state mutex poisoned"));
    if ((*g)->lifecycle != LifecycleState::Running) return Err(ProtocolError::not_started());
  }
  BRENVIK_TRY_VOID(validate_recipient_id(recipient));
  BRENVIK_TRY(std::optional<std::string> app_id, validate_optional_app_id(request.app_id));
  if (request.reply_to_msg) {
    auto p = parse_message_id(*request.reply_to_msg);
    if (!p.ok()) return Err(format_invalid_reply_to(p.error()));
  }
  MediaRichExtras extras = request.extras();
  const bool has_extras = !extras.empty();
  if (has_extras) {
    // Measured only: what travels is written again into chunk 0's envelope.
    size_t size = write_rich_extras_json(extras).size();
    if (size > kMaxMediaRichExtrasBytes)
      return Err(ProtocolError::invalid_input("Rich extras too large: " + std::to_string(size) +
                                              " bytes serialized (max " +
                                              std::to_string(kMaxMediaRichExtrasBytes) + ")"));
  }
  if (request.file_id) {
    const std::string& id = *request.file_id;
    if (id.empty() || id.size() > kMaxFileIdBytes)
      return Err(ProtocolError::invalid_input(
          "file_id length must be 1..=" + std::to_string(kMaxFileIdBytes) + " bytes"));
    if (outbound_media_transfers_.contains(id))
      return Err(ProtocolError::invalid_input("file_id " + id +
                                              " already has an active outbound transfer"));
    if (auto d = media_descriptors_.find(id); d != media_descriptors_.end()) {
      if (d->second.recipient != recipient)
        return Err(ProtocolError::invalid_input(
            "file_id " + id + " belongs to an interrupted transfer to a different recipient"));
      auto digest = crypto::sha256(file_data);
      if (hex_encode(ByteView(digest.data(), digest.size())) != d->second.file_checksum)
        return Err(ProtocolError::invalid_input(
            "file_id " + id + " resend bytes do not match the interrupted transfer's checksum"));
    }
  }
  if (is_user_blocked(recipient)) return Err(ProtocolError::recipient_blocked(recipient));

  // Encryption policy.
  const bool mls_ready = config_.encryption.enabled && mls_initialized();
  bool sealed = false;
  if (data_purpose) {
    // No capability table of peers that carry attachments exists in this
    // build, so no peer has advertised it.
    const bool carriage_advertised = false;
    if (!carriage_advertised)
      return Err(ProtocolError::invalid_input("peer " + recipient +
                                              " did not advertise attachment carriage"));
    if (!mls_ready)
      return Err(ProtocolError::encryption_failed(std::string(kDataLayerUnsealedText)));
    sealed = true;
  } else if (mls_ready) {
    sealed = true;
  } else if (config_.encryption.require_encryption) {
    return Err(ProtocolError::encryption_failed(std::string(kMediaEncryptionRequiredText)));
  } else {
    // The once-per-recipient plaintext warning belongs to the security layer.
    BRENVIK_LOG(LogLevel::Debug, kSendLogTarget, {"message", "Sending media in plaintext"},
                {"recipient", recipient});
  }
  if (sealed) {
    // A media send never waits for a session: without a confirmed one it
    // fails at once. No session can be confirmed before the MLS layer is
    // installed, so a sealed send stops here with the peer's readiness.
    const bool session_confirmed = false;
    if (!session_confirmed)
      return Err(ProtocolError::session_not_ready(SessionReadiness::NoKeyPackage));
    BRENVIK_TRY_VOID(check_media_transfer_limit(recipient, data_purpose.has_value()));
  }

  // Extras travel only sealed, to a peer that reads sealed rich payloads;
  // no peer has advertised that before the MLS layer exists.
  const bool peer_reads_rich = false;
  std::optional<MediaRichExtras> kept;
  if (has_extras) {
    if (sealed && peer_reads_rich) {
      kept = std::move(extras);
    } else {
      BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                  {"message",
                   "Dropping rich media extras: recipient did not advertise sealed rich "
                   "payload support"},
                  {"recipient", recipient});
    }
  }

  std::string file_id = request.file_id ? *request.file_id : generate_file_id();
  BRENVIK_TRY(TransportType transport, choose_media_transport(recipient));
  MediaProfile profile = media_profile(transport);
  BRENVIK_TRY(std::vector<FileChunk> chunks,
              file_transfers_.split_file(file_id, file_name, file_data, profile.chunk_size));

  const uint32_t total = uint32_t(chunks.size());
  outbound_media_transfers_.insert_or_assign(file_id, OutboundMediaTransfer{request.media_metadata,
                                                                            data_purpose,
                                                                            kept,
                                                                            recipient,
                                                                            app_id,
                                                                            clock_.monotonic(),
                                                                            {},
                                                                            total,
                                                                            transport,
                                                                            content_type});
  if (!chunks.empty()) {
    persist_media_descriptor(MediaTransferDescriptor{
        file_id, recipient, file_name, chunks[0].file_size, chunks[0].file_checksum, content_type,
        clock_.wall_unix_ms(), data_purpose, app_id});
  }
  MediaPumpState pump(std::move(chunks), profile.window);
  std::vector<FileChunk> first = pump.take_next_batch();
  media_pump_states_.insert_or_assign(file_id, std::move(pump));

  if (!data_purpose) {
    auto g = lock_shared_state(events_.state());
    if (!g.ok()) return Err(send_failed("Shared state mutex poisoned"));
    deliver_event(**g, event::FileProgress{file_id, 0, total, 0});
  }
  const OutboundMediaTransfer& t = outbound_media_transfers_.at(file_id);
  // Copies: the chunk sender may abort the transfer and erase the record.
  std::optional<MediaMetadata> metadata = t.media_metadata;
  BRENVIK_TRY_VOID(send_media_chunks(file_id, std::move(first), recipient, transport, content_type,
                                     metadata ? &*metadata : nullptr, kept ? &*kept : nullptr,
                                     data_purpose ? &*data_purpose : nullptr, app_id));
  return file_id;
}

// ------------------------------------------------------- chunk messages

Result<Bytes, ProtocolError> ProtocolCore::seal_media_envelope(const std::string& /*recipient*/,
                                                               ByteView /*envelope*/) {
  // Sealing needs the recipient's confirmed 1:1 MLS session; none can exist
  // before the MLS layer is installed.
  return Err(ProtocolError::mls_not_initialized());
}

Result<void, ProtocolError> ProtocolCore::send_media_chunks(
    const std::string& file_id, std::vector<FileChunk> batch, const std::string& recipient,
    TransportType transport, ContentType content_type, const MediaMetadata* media_metadata,
    const MediaRichExtras* extras, const DataPurpose* data_purpose,
    const std::optional<std::string>& app_id) {
  const bool sealed = config_.encryption.enabled && mls_initialized();
  for (FileChunk& chunk : batch) {
    const bool first = chunk.chunk_index == 0;
    const uint32_t index = chunk.chunk_index;
    Bytes encoded = chunk.encode_binary();
    Bytes binary;
    if (sealed) {
      MediaEnvelopeParts parts;
      if (first) {
        parts.media_metadata = media_metadata;
        parts.content_type = content_type;
        parts.extras = extras;
        parts.data_purpose = data_purpose;
      }
      auto env = build_media_envelope(parts, encoded);
      Result<Bytes, ProtocolError> sealed_env =
          env.ok() ? seal_media_envelope(recipient, env.value().bytes)
                   : Result<Bytes, ProtocolError>(Err(env.error()));
      if (!sealed_env.ok()) {
        abort_outbound_media_transfer(file_id, "chunk encryption failed");
        return Err(std::move(sealed_env).error());
      }
      binary.reserve(3 + sealed_env.value().size());
      binary.push_back('M');
      binary.push_back('L');
      binary.push_back(env.value().version);
      binary.insert(binary.end(), sealed_env.value().begin(), sealed_env.value().end());
    } else {
      binary = std::move(encoded);
    }

    BRENVIK_TRY(Message message, build_message(recipient, std::string(), MessagePriority::Medium,
                                               std::nullopt, app_id));
    message.content_type = ContentType::FileChunk;
    message.requires_ack = true;
    message.binary_content = std::move(binary);
    // Marks the chunk as preferring the internet relay when the outbox
    // sends it again through the registry's scoring.
    message.metadata["transport_preference"] = "internet";
    if (first && !sealed) {
      if (media_metadata) message.media_metadata = *media_metadata;
      message.metadata["original_content_type"] = std::string(content_type_name(content_type));
    }
    media_bindings_.insert_or_assign(message.id, std::make_pair(file_id, index));

    std::optional<TransportType> previous = transport_manager_.current_transport();
    auto r = transport_manager_.send_via(message, transport);
    if (r.ok()) {
      BRENVIK_TRY_VOID(on_transport_accepted(message, transport));
      BRENVIK_TRY_VOID(emit_transport_switch(previous, transport));
    } else {
      (void)defer_message(message, transport);
      transport_manager_.router().record_failure(transport);
      BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                  {"message", "File chunk send failed, message deferred"}, {"file_id", file_id},
                  {"chunk_index", index}, {"transport", transport_type_name(transport)},
                  {"error", r.error().message()});
    }
    if (!outbound_media_transfers_.contains(file_id))
      return Err(send_failed("Media transfer " + file_id +
                             " could not be scheduled for reliable delivery"));
  }
  return {};
}

// ------------------------------------------------------------------ pump

void ProtocolCore::pump_media_chunks() {
  std::vector<std::string> ids;
  ids.reserve(media_pump_states_.size());
  for (const auto& [id, _] : media_pump_states_) ids.push_back(id);
  for (const std::string& file_id : ids) {
    auto t = outbound_media_transfers_.find(file_id);
    if (t == outbound_media_transfers_.end()) {
      media_pump_states_.erase(file_id);
      continue;
    }
    // Copies: sending may settle, abort or evict and so change the tables.
    const std::string recipient = t->second.recipient;
    const TransportType transport = t->second.transport;
    const ContentType content_type = t->second.content_type;
    const std::optional<MediaMetadata> metadata = t->second.media_metadata;
    const std::optional<MediaRichExtras> extras = t->second.extras;
    const std::optional<DataPurpose> purpose = t->second.data_purpose;
    const std::optional<std::string> app_id = t->second.app_id;
    auto p = media_pump_states_.find(file_id);
    if (p == media_pump_states_.end()) continue;
    std::vector<FileChunk> batch = p->second.take_next_batch();
    if (batch.empty()) continue;
    auto r = send_media_chunks(file_id, std::move(batch), recipient, transport, content_type,
                               metadata ? &*metadata : nullptr, extras ? &*extras : nullptr,
                               purpose ? &*purpose : nullptr, app_id);
    if (!r.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kSendLogTarget,
                  {"message", "Failed to pump media transfer chunks"}, {"file_id", file_id},
                  {"error", r.error().message()});
    }
  }
}

// -------------------------------------------------- acknowledgement, abort

void ProtocolCore::settle_media_chunk_ack(const MessageId& id) {
  auto b = media_bindings_.find(id);
  if (b == media_bindings_.end()) return;
  auto [file_id, index] = std::move(b->second);
  media_bindings_.erase(b);
  auto t = outbound_media_transfers_.find(file_id);
  if (t == outbound_media_transfers_.end()) return;
  OutboundMediaTransfer& transfer = t->second;
  transfer.acked_chunks.insert(index);
  transfer.last_activity = clock_.monotonic();
  if (auto p = media_pump_states_.find(file_id); p != media_pump_states_.end()) {
    p->second.in_flight.erase(index);
    p->second.acked.insert(index);
  }
  const uint32_t acked = uint32_t(transfer.acked_chunks.size());
  const uint32_t total = transfer.total_chunks;
  const bool done = acked >= total;
  if (!transfer.data_purpose) {
    auto g = lock_shared_state(events_.state());
    if (g.ok()) {
      deliver_event(**g,
                    event::FileProgress{file_id, acked, total, chunk_percentage(acked, total)});
      if (done)
        deliver_event(
            **g, event::MediaSent{file_id, std::string(content_type_name(transfer.content_type)),
                                  transfer.recipient});
    }
  }
  if (done) {
    outbound_media_transfers_.erase(t);
    media_pump_states_.erase(file_id);
    clear_media_descriptor(file_id);
  }
}

void ProtocolCore::abort_outbound_media_transfer(const std::string& file_id,
                                                 std::string_view reason) {
  auto t = outbound_media_transfers_.find(file_id);
  if (t == outbound_media_transfers_.end()) return;
  OutboundMediaTransfer transfer = std::move(t->second);
  outbound_media_transfers_.erase(t);
  std::erase_if(media_bindings_, [&](const auto& kv) { return kv.second.first == file_id; });
  media_pump_states_.erase(file_id);
  clear_media_descriptor(file_id);
  BRENVIK_LOG(LogLevel::Warn, kSendLogTarget, {"message", "Aborting outbound media transfer"},
              {"file_id", file_id}, {"reason", reason});
  if (transfer.data_purpose) {
    BRENVIK_LOG(LogLevel::Debug, kSendLogTarget,
                {"message", "A data-layer transfer was aborted; the asking side will retry"},
                {"file_id", file_id}, {"reason", reason});
    return;
  }
  auto g = lock_shared_state(events_.state());
  if (!g.ok()) return;
  deliver_event(**g, event::MediaSendFailed{file_id, transfer.recipient, std::string(reason)});
}

}  // namespace brenvik
