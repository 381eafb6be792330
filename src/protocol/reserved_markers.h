// The reserved content markers: a message whose content begins with one of
// them is a protocol control message (or protocol-encrypted content), never
// user text. The send path refuses user content that begins with one; the
// receive path dispatches on the same table.
#pragma once

#include <array>
#include <string_view>

namespace brenvik {

inline constexpr std::array<std::string_view, 36> kReservedContentMarkers = {
    "__MLS_KEY_PKG__",
    "__MLS_WELCOME__",
    "__MLS_ENC__",
    "__MLS_CONFIRM_PROBE__",
    "__MLS_CONFIRM_ACK__",
    "__MLS_ENC_CONFIRM__",
    "__RICH_V1__",
    "__DATA_V1__",
    "__CONN_REQ__",
    "__CONN_ACC__",
    "__CONN_REJ__",
    "__CONN_CAN__",
    "__GROUP_CREATED__",
    "__GROUP_MSG__",
    "__GROUP_MEMBER_ADDED__",
    "__GROUP_MEMBER_REMOVED__",
    "__GROUP_INFO__",
    "__USER_GROUPS__",
    "__GROUP_ERROR__",
    "__GRP_MLS_MSG__",
    "__GRP_MLS_WELCOME__",
    "__GRP_MLS_COMMIT__",
    "__GRP_MLS_LEAVE__",
    "__GRP_RELAY_REG__",
    "__GRP_RELAY_BCAST__",
    "__GRP_ROLE_CHG__",
    "__GRP_RENAME__",
    "__PRESENCE__",
    "__TYPING__",
    "__READ_RECEIPT__",
    "__CUSTODY_RECEIPT__",
    "__SVC_",
    "__SVC_DISC_Q__",
    "__SVC_DISC_R__",
    "__SVC_REQ__",
    "__SVC_RESP__",
};

inline constexpr std::string_view kMlsEncMarker = "__MLS_ENC__";
inline constexpr std::string_view kPresenceMarker = "__PRESENCE__";
inline constexpr std::string_view kTypingMarker = "__TYPING__";
inline constexpr std::string_view kReadReceiptMarker = "__READ_RECEIPT__";
inline constexpr std::string_view kConfirmProbeMarker = "__MLS_CONFIRM_PROBE__";
inline constexpr std::string_view kDataMarker = "__DATA_V1__";

// Byte-wise, case-sensitive prefix test against the whole table.
bool is_reserved_content_marker(std::string_view content);

}  // namespace brenvik
