// Readers of the enumerations that arrive inside peer records: transport
// kind, presence status and MLS message type. Each takes the exact
// spelling or the one-key object form {"spelling":null}.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/types.h"
#include "protocol/events/event_enums.h"
#include "sealed/encrypted_message.h"
#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

std::string_view mls_message_type_name(MlsMessageType t);  // "Application", ...

Result<TransportType, JsonError> read_transport_type(JsonReader& r);
Result<PresenceStatus, JsonError> read_presence_status(JsonReader& r);
Result<MlsMessageType, JsonError> read_mls_message_type(JsonReader& r);

}  // namespace brenvik
