// The internal message kinds: protocol traffic carried inside ordinary
// messages whose content begins with a reserved marker. One row per marker
// of the reserved table (same order), saying whether the control gate
// applies and where the dispatcher sends it.
//
// Kinds whose handlers live in layers this library does not have yet are
// still recognised, so that they never reach the host as user text; the
// dispatcher drops them with the row's reason and leaves them
// unacknowledged, so that the sender's retries can deliver them once the
// handler exists instead of the sender believing they were acted on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brenvik {

enum class InternalKind : uint8_t {
  KeyPackage,
  Welcome,
  Encrypted,
  ConfirmProbe,
  ConfirmAck,
  EncryptedConfirm,
  RichPayload,
  DataSync,
  ConnectionRequest,
  ConnectionAccepted,
  ConnectionRejected,
  ConnectionCancelled,
  RelayGroupCreated,
  RelayGroupMessage,
  RelayGroupMemberAdded,
  RelayGroupMemberRemoved,
  RelayGroupInfo,
  RelayUserGroups,
  RelayGroupError,
  GroupMlsMessage,
  GroupMlsWelcome,
  GroupMlsCommit,
  GroupMlsLeave,
  GroupRelayRegistration,
  GroupRelayBroadcast,
  GroupRoleChange,
  GroupRename,
  Presence,
  Typing,
  ReadReceipt,
  CustodyReceipt,
  Service,
  ServiceDiscoveryQuery,
  ServiceDiscoveryResponse,
  ServiceRequest,
  ServiceResponse,
};

// Where the dispatcher sends a kind.
enum class KindRoute : uint8_t {
  // Handled here: presence, typing indicator, read receipt.
  Signal,
  // The encrypted-message handler.
  Encrypted,
  // Never routed at the top level (it only occurs inside decrypted content
  // or is addressed to the relay server): delivered as ordinary content.
  NotRouted,
  // Recognised; its handler belongs to a layer not present (reason below).
  AwaitingHandler,
};

struct InternalKindRow {
  std::string_view marker;
  InternalKind kind;
  // The control gate applies: every marker but "__MLS_ENC__" and
  // "__GROUP_MSG__".
  bool gated;
  KindRoute route;
  // AwaitingHandler: why it is dropped (logged); empty otherwise.
  std::string_view reason;
  // One of the relay server's own notices: no peer signs these, so the
  // control gate accepts them unsigned, and only straight from the relay.
  bool relay_notice = false;
};

// All 36 rows: the one table of reserved markers (the send path's refusal
// reads it too, through is_reserved_content_marker).
std::span<const InternalKindRow> internal_kind_table();

// The row whose marker the content begins with. At most one can match
// except for the service family, whose common prefix "__SVC_" sends every
// service frame to one handler; the specific service row is returned when
// one matches, the family row otherwise.
const InternalKindRow* find_internal_kind(std::string_view content);

// Whether the control gate applies to the content: it begins with a
// reserved marker other than "__MLS_ENC__" and "__GROUP_MSG__".
bool is_control_content(std::string_view content);

}  // namespace brenvik
