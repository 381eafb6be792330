// EncryptedMessage: an MLS message with the routing fields a receiver needs
// before it can decrypt, and its little-endian binary form (the sealed
// envelope).
#pragma once

#include <cstdint>
#include <string>

#include "core/sealed_error.h"
#include "sealed/group_id.h"
#include "util/bytes.h"
#include "util/result.h"

namespace brenvik {

enum class MlsMessageType : uint8_t { Application = 0, Welcome = 1, Commit = 2, Proposal = 3 };

struct EncryptedMessage {
  GroupId group_id;
  MlsMessageType message_type = MlsMessageType::Application;
  uint64_t epoch = 0;
  Bytes ciphertext;
  std::string sender_id;
  uint64_t timestamp_ms = 0;

  bool operator==(const EncryptedMessage&) const = default;
};

inline constexpr uint32_t kMaxEnvelopeSenderLength = 4096;
inline constexpr uint32_t kMaxEnvelopeCiphertextLength = 134217728;  // 2^27
inline constexpr size_t kEnvelopeFixedBytes = 29;

// Writes G + S + C + 29 bytes. Refuses (SealedError::Serialization) a sender
// id over 4096 bytes or a ciphertext over 2^27 bytes, which the decoder would
// refuse: an envelope this side writes must be one the other side reads.
Result<Bytes, SealedError> encode_sealed_envelope(const EncryptedMessage& message);

// Reads front to back and stops at the first fault; every length is checked
// against its limit and the remaining input before anything is allocated.
// Bytes after the ciphertext are ignored.
Result<EncryptedMessage, SealedError> decode_sealed_envelope(ByteView data);

}  // namespace brenvik
