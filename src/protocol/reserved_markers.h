// The reserved content markers: a message whose content begins with one of
// them is a protocol control message (or protocol-encrypted content), never
// user text. The send path refuses user content that begins with one; the
// receive path dispatches on the same table.
#pragma once

#include <string_view>

namespace brenvik {

// The markers the code composes content with. The full table, with what
// each marker means to the dispatcher, is internal_kind_table()
// (receive/internal_kinds.h), which checks these against its rows.
inline constexpr std::string_view kMlsEncMarker = "__MLS_ENC__";
inline constexpr std::string_view kPresenceMarker = "__PRESENCE__";
inline constexpr std::string_view kTypingMarker = "__TYPING__";
inline constexpr std::string_view kReadReceiptMarker = "__READ_RECEIPT__";
inline constexpr std::string_view kConfirmProbeMarker = "__MLS_CONFIRM_PROBE__";
inline constexpr std::string_view kDataMarker = "__DATA_V1__";

// Byte-wise, case-sensitive prefix test against the whole table (defined
// with the table in receive/internal_kinds.cpp).
bool is_reserved_content_marker(std::string_view content);

}  // namespace brenvik
