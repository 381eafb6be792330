#include "protocol/receive/internal_kinds.h"

#include <array>

#include "protocol/reserved_markers.h"

namespace brenvik {

namespace {

constexpr std::string_view kNeedsMls = "needs the MLS layer (key packages and 1:1 sessions)";
constexpr std::string_view kNeedsConfirm = "needs the MLS session confirmation handlers";
constexpr std::string_view kNeedsConnections = "needs the connection-request handlers";
constexpr std::string_view kNeedsRelayGroups = "needs the relay-server group handlers";
constexpr std::string_view kNeedsGroups = "needs the MLS group layer";
constexpr std::string_view kNeedsCustody = "needs the custody layer";
constexpr std::string_view kNeedsServices = "needs the mesh services registry";

using K = InternalKind;
using R = KindRoute;

constexpr std::array<InternalKindRow, 36> kRows{{
    {"__MLS_KEY_PKG__", K::KeyPackage, true, R::AwaitingHandler, kNeedsMls},
    {"__MLS_WELCOME__", K::Welcome, true, R::AwaitingHandler, kNeedsMls},
    {"__MLS_ENC__", K::Encrypted, false, R::Encrypted, {}},
    {"__MLS_CONFIRM_PROBE__", K::ConfirmProbe, true, R::AwaitingHandler, kNeedsConfirm},
    {"__MLS_CONFIRM_ACK__", K::ConfirmAck, true, R::AwaitingHandler, kNeedsConfirm},
    {"__MLS_ENC_CONFIRM__", K::EncryptedConfirm, true, R::NotRouted, {}},
    {"__RICH_V1__", K::RichPayload, true, R::NotRouted, {}},
    {"__DATA_V1__", K::DataSync, true, R::NotRouted, {}},
    {"__CONN_REQ__", K::ConnectionRequest, true, R::AwaitingHandler, kNeedsConnections},
    {"__CONN_ACC__", K::ConnectionAccepted, true, R::AwaitingHandler, kNeedsConnections},
    {"__CONN_REJ__", K::ConnectionRejected, true, R::AwaitingHandler, kNeedsConnections},
    {"__CONN_CAN__", K::ConnectionCancelled, true, R::AwaitingHandler, kNeedsConnections},
    {"__GROUP_CREATED__", K::RelayGroupCreated, true, R::AwaitingHandler, kNeedsRelayGroups, true},
    {"__GROUP_MSG__", K::RelayGroupMessage, false, R::AwaitingHandler, kNeedsRelayGroups},
    {"__GROUP_MEMBER_ADDED__", K::RelayGroupMemberAdded, true, R::AwaitingHandler,
     kNeedsRelayGroups, true},
    {"__GROUP_MEMBER_REMOVED__", K::RelayGroupMemberRemoved, true, R::AwaitingHandler,
     kNeedsRelayGroups, true},
    {"__GROUP_INFO__", K::RelayGroupInfo, true, R::AwaitingHandler, kNeedsRelayGroups, true},
    {"__USER_GROUPS__", K::RelayUserGroups, true, R::AwaitingHandler, kNeedsRelayGroups, true},
    {"__GROUP_ERROR__", K::RelayGroupError, true, R::AwaitingHandler, kNeedsRelayGroups, true},
    {"__GRP_MLS_MSG__", K::GroupMlsMessage, true, R::AwaitingHandler, kNeedsGroups},
    {"__GRP_MLS_WELCOME__", K::GroupMlsWelcome, true, R::AwaitingHandler, kNeedsGroups},
    {"__GRP_MLS_COMMIT__", K::GroupMlsCommit, true, R::AwaitingHandler, kNeedsGroups},
    {"__GRP_MLS_LEAVE__", K::GroupMlsLeave, true, R::AwaitingHandler, kNeedsGroups},
    {"__GRP_RELAY_REG__", K::GroupRelayRegistration, true, R::NotRouted, {}},
    {"__GRP_RELAY_BCAST__", K::GroupRelayBroadcast, true, R::NotRouted, {}},
    {"__GRP_ROLE_CHG__", K::GroupRoleChange, true, R::AwaitingHandler, kNeedsGroups},
    {"__GRP_RENAME__", K::GroupRename, true, R::AwaitingHandler, kNeedsGroups},
    {"__PRESENCE__", K::Presence, true, R::Signal, {}},
    {"__TYPING__", K::Typing, true, R::Signal, {}},
    {"__READ_RECEIPT__", K::ReadReceipt, true, R::Signal, {}},
    {"__CUSTODY_RECEIPT__", K::CustodyReceipt, true, R::AwaitingHandler, kNeedsCustody},
    {"__SVC_", K::Service, true, R::AwaitingHandler, kNeedsServices},
    {"__SVC_DISC_Q__", K::ServiceDiscoveryQuery, true, R::AwaitingHandler, kNeedsServices},
    {"__SVC_DISC_R__", K::ServiceDiscoveryResponse, true, R::AwaitingHandler, kNeedsServices},
    {"__SVC_REQ__", K::ServiceRequest, true, R::AwaitingHandler, kNeedsServices},
    {"__SVC_RESP__", K::ServiceResponse, true, R::AwaitingHandler, kNeedsServices},
}};

// The named markers the code composes content with are rows of this table.
constexpr bool has_row(std::string_view marker, InternalKind kind) {
  for (const InternalKindRow& row : kRows)
    if (row.kind == kind) return row.marker == marker;
  return false;
}
static_assert(has_row(kMlsEncMarker, K::Encrypted));
static_assert(has_row(kPresenceMarker, K::Presence));
static_assert(has_row(kTypingMarker, K::Typing));
static_assert(has_row(kReadReceiptMarker, K::ReadReceipt));
static_assert(has_row(kConfirmProbeMarker, K::ConfirmProbe));
static_assert(has_row(kDataMarker, K::DataSync));

}  // namespace

std::span<const InternalKindRow> internal_kind_table() {
  return kRows;
}

const InternalKindRow* find_internal_kind(std::string_view content) {
  if (content.size() < 2 || content[0] != '_' || content[1] != '_') return nullptr;
  const InternalKindRow* family = nullptr;
  for (const InternalKindRow& row : kRows) {
    if (!content.starts_with(row.marker)) continue;
    if (row.kind != InternalKind::Service) return &row;
    family = &row;
  }
  return family;
}

bool is_reserved_content_marker(std::string_view content) {
  return find_internal_kind(content) != nullptr;
}

bool is_control_content(std::string_view content) {
  const InternalKindRow* row = find_internal_kind(content);
  return row != nullptr && row->gated;
}

}  // namespace brenvik
