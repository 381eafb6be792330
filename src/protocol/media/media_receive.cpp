// The inbound media road: a file_chunk message becomes a FileChunk with the
// hints of its transfer's first chunk, the chunk goes to the file-transfer
// manager, and the finished file reaches the host as FileReceived.
#include "protocol/core/protocol_core.h"
#include "protocol/emit/security_warnings.h"
#include "sealed/encrypted_message.h"
#include "sealed/group_id.h"
#include "util/base64.h"
#include "util/log.h"

namespace brenvik {

namespace {

struct ChunkHints {
  std::optional<MediaMetadata> media_metadata;
  std::optional<ContentType> content_type;
};

// Plaintext chunks carry their hints in the message's own fields; they
// never carry rich extras or a data purpose.
ChunkHints read_plaintext_chunk_hints(const Message& m) {
  ChunkHints h;
  h.media_metadata = m.media_metadata;
  if (auto it = m.metadata.find("original_content_type"); it != m.metadata.end())
    h.content_type = content_type_from_name(it->second);
  return h;
}

}  // namespace

void ProtocolCore::emit_decryption_failed(const Message& m, DecryptionFailureCode code,
                                          std::string reason) {
  auto g = lock_shared_state(events_.state());
  if (!g.ok()) return;
  deliver_event(**g, event::MessageDecryptionFailed{display_message_id(m.id), m.sender, code,
                                                    std::move(reason)});
}

namespace {
// A failed transfer whose first chunk never arrived has no purpose to
// report a failure under.
void log_unknown_purpose_drop(const std::string& file_id) {
  BRENVIK_LOG(
      LogLevel::Debug, ProtocolCore::kReceiveLogTarget,
      {"message", "Dropping a transfer whose purpose is not yet known; no failure reported"},
      {"file_id", file_id});
}
}  // namespace

MediaChunkOutcome ProtocolCore::receive_media_chunk(const Message& m, TransportType /*arrival*/) {
  const std::string sender = m.sender;
  const std::string id_text = display_message_id(m.id);
  auto refuse_plaintext = [&] {
    BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
                {"message", "Rejecting unencrypted media chunk (encryption policy)"},
                {"message_id", id_text}, {"sender", sender});
    check_inbound_encryption_policy(sender,
                                    "Inbound plaintext media chunk rejected by encryption policy");
    return MediaChunkOutcome::Rejected;
  };

  // A plaintext chunk, in its JSON or its binary form.
  auto take_plaintext = [&](auto chunk, std::string_view failure, auto error_text) {
    if (!plaintext_acceptable_from(sender)) return refuse_plaintext();
    if (!chunk.ok()) {
      BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget, {"message", std::string(failure)},
                  {"message_id", id_text}, {"error", error_text(chunk.error())});
      return MediaChunkOutcome::Consumed;
    }
    ChunkHints h = read_plaintext_chunk_hints(m);
    track_inbound_chunk(sender, m, std::move(chunk).value(), std::move(h.media_metadata),
                        h.content_type);
    return MediaChunkOutcome::Consumed;
  };
  if (!m.binary_content)
    return take_plaintext(file_chunk_from_json(m.content),
                          "Failed to deserialize file chunk, dropping",
                          [](const auto& e) { return e.to_string(); });

  const Bytes& body = *m.binary_content;
  const bool envelope = body.size() >= 3 && body[0] == 'M' && body[1] == 'L';
  if (!envelope)
    return take_plaintext(decode_file_chunk(body),
                          "Failed to deserialize binary file chunk, dropping",
                          [](const auto& e) { return std::string(e.message()); });

  // A sealed media envelope: "ML", a version byte, a SealedEnvelope.
  std::optional<EncryptedMessage> sealed;
  std::string decode_error;
  const uint8_t version = body[2];
  if (version >= 1 && version <= 3) {
    auto d = decode_sealed_envelope(ByteView(body).subspan(3));
    if (d.ok())
      sealed = std::move(d).value();
    else
      decode_error = d.error().message();
  } else {
    decode_error = "unsupported media envelope version " + std::to_string(version);
  }
  if (!sealed) {
    BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
                {"message", "Failed to decode encrypted media envelope"}, {"message_id", id_text},
                {"error", decode_error});
    if (!withhold_ack_on_decrypt_failure()) return MediaChunkOutcome::Consumed;
    emit_decryption_failed(m, DecryptionFailureCode::InvalidPayload,
                           "encrypted media envelope failed to decode; its file transfer is "
                           "stalled until the sender resends");
    return MediaChunkOutcome::Deferred;
  }
  auto expected = session_group_id(local_user_id_, sender);
  if (!expected.ok()) {
    BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
                {"message", "Cannot derive 1:1 session id for media chunk sender, dropping"},
                {"sender", sender});
    return MediaChunkOutcome::Consumed;
  }
  if (!(sealed->group_id == expected.value())) {
    BRENVIK_LOG(LogLevel::Error, kReceiveLogTarget,
                {"message",
                 "SECURITY: encrypted media chunk MLS group does not match the claimed sender's "
                 "session, rejecting"},
                {"sender", sender}, {"group_id", sealed->group_id.str()},
                {"expected", expected.value().str()});
    emit_security_warning(events_.state(), sender, SecurityWarningReason::MediaSenderGroupMismatch,
                          "Encrypted media chunk MLS group does not match the claimed sender");
    return MediaChunkOutcome::Rejected;
  }
  // Decrypting needs the MLS manager, which this build does not install.
  BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
              {"message", "Encrypted media chunk received but MLS is not initialized, dropping"},
              {"sender", sender});
  return MediaChunkOutcome::Consumed;
}

void ProtocolCore::track_inbound_chunk(const std::string& sender, const Message& m, FileChunk chunk,
                                       std::optional<MediaMetadata> metadata,
                                       std::optional<ContentType> content_type) {
  const std::string file_id = chunk.file_id;
  const std::string file_name = chunk.file_name;
  const uint32_t index = chunk.chunk_index;
  auto accepted = file_transfers_.process_file_chunk(sender, std::move(chunk));
  if (!accepted.ok()) {
    const ChunkRejection why = accepted.error();
    if (why != ChunkRejection::TooManyTransfers && why != ChunkRejection::SenderQuotaExceeded &&
        why != ChunkRejection::BufferBudgetExhausted)
      return;  // the manager has logged it; the transfer is unchanged
    const bool had_context = inbound_transfers_.erase(file_id) > 0;
    if (index != 0 && !had_context) {
      log_unknown_purpose_drop(file_id);
      return;
    }
    emit_event(event::FileReceiveFailed{file_id, file_name, sender,
                                        std::string(chunk_rejection_code(why))});
    return;
  }
  const ChunkProgress progress = accepted.value();
  MonoTime now = clock_.monotonic();
  if (index == 0) {
    inbound_transfers_.insert_or_assign(
        file_id, InboundTransferContext{sender, std::move(metadata),
                                        content_type.value_or(ContentType::File), now, m.app_id,
                                        m.timestamp});
  } else if (auto c = inbound_transfers_.find(file_id); c != inbound_transfers_.end()) {
    c->second.last_activity = now;
  }
  auto ctx = inbound_transfers_.find(file_id);
  if (ctx != inbound_transfers_.end())
    emit_event(event::FileProgress{file_id, progress.received_chunks, progress.total_chunks,
                                   progress.percentage});
  if (!file_transfers_.is_complete(file_id)) return;

  std::optional<InboundTransferContext> context;
  if (ctx != inbound_transfers_.end()) {
    context = std::move(ctx->second);
    inbound_transfers_.erase(ctx);
  }
  std::optional<Bytes> bytes = file_transfers_.finalize_file(file_id);
  if (!bytes) {
    BRENVIK_LOG(LogLevel::Warn, kReceiveLogTarget,
                {"message",
                 "File transfer marked complete but reassembly or integrity checks "
                 "failed"},
                {"file_id", file_id});
    if (!context) {
      log_unknown_purpose_drop(file_id);
      return;
    }
    emit_event(event::FileReceiveFailed{file_id, file_name, sender, "integrity_check_failed"});
    return;
  }
  event::FileReceived e;
  e.file_id = file_id;
  e.file_name = file_name;
  e.file_size = progress.file_size;
  e.sender = sender;
  e.content_type =
      std::string(content_type_name(context ? context->content_type : ContentType::File));
  // Events are JSON text: the host gets the file as base64.
  e.file_data = base64_encode(*bytes);
  if (context) {
    e.media_metadata = std::move(context->media_metadata);
    e.timestamp = context->timestamp;
    e.app_id = context->app_id;
  }
  emit_event(std::move(e));
}

void ProtocolCore::prune_stale_inbound_transfers() {
  for (StaleTransfer& s : file_transfers_.prune_stale(std::chrono::seconds(300))) {
    if (inbound_transfers_.erase(s.file_id) == 0) {
      BRENVIK_LOG(LogLevel::Debug, kReceiveLogTarget,
                  {"message",
                   "A transfer expired before its purpose was known; no failure "
                   "reported"},
                  {"file_id", s.file_id});
      continue;
    }
    emit_event(event::FileReceiveFailed{s.file_id, s.file_name, s.sender, "stale_timeout"});
  }
}

}  // namespace brenvik
