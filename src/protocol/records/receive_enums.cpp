#include "protocol/records/receive_enums.h"

namespace brenvik {

namespace {
constexpr std::string_view kPresence[] = {"online", "away", "offline"};
constexpr std::string_view kMlsTypes[] = {"Application", "Welcome", "Commit", "Proposal"};
}  // namespace

std::string_view mls_message_type_name(MlsMessageType t) {
  auto i = static_cast<size_t>(t);
  return i < std::size(kMlsTypes) ? kMlsTypes[i] : std::string_view("?");
}

Result<TransportType, JsonError> read_transport_type(JsonReader& r) {
  BRENVIK_TRY(size_t i, read_unit_enum(r, "enum TransportType", kTransportTypeNames));
  return TransportType(i);
}

Result<PresenceStatus, JsonError> read_presence_status(JsonReader& r) {
  BRENVIK_TRY(size_t i, read_unit_enum(r, "enum PresenceStatus", kPresence));
  return PresenceStatus(i);
}

Result<MlsMessageType, JsonError> read_mls_message_type(JsonReader& r) {
  BRENVIK_TRY(size_t i, read_unit_enum(r, "enum MlsMessageType", kMlsTypes));
  return MlsMessageType(i);
}

}  // namespace brenvik
