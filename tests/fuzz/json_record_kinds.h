// The readers of the json_records target, by the first byte of an input
// (shared with the seed generator, which writes inputs for each).
#pragma once

#include <cstdint>

namespace brenvik::fuzz {

enum JsonReaderKind : uint8_t {
  kGenericJson,
  kMessageJson,
  kEncryptedMessageJson,
  kWelcomeMessageJson,
  kRichExtrasJson,
  kMediaMetadataJson,
  kDataPurposeJson,
  kDataValueJson,
  kPresencePayload,
  kTypingPayload,
  kReadReceiptPayload,
  kFileChunkJson,
  kFileChunkBinary,
  kGroupRenamePayload,
  kGroupMlsCommitPayload,
  kGroupMlsWelcomePayload,
  kGroupRoleChangePayload,
  kGroupMemberRemovedPayload,
  kKeyPackagePayload,
  kPeerCapabilities,
  kEncryptionCapableEntry,
  kSessionConfirmationState,
  kPendingMessage,
  kGroupErrorPayload,
  kUserGroupsPayload,
  kGroupInfoPayload,
  kRelayGroupDeliveryReport,
  kSyncBody,
  kRfc3339,
  kAddress,
  kOriginalMessage,
  kJsonReaderCount
};

}  // namespace brenvik::fuzz
