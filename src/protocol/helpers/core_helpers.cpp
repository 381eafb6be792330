#include "protocol/helpers/core_helpers.h"

#include <array>

#include "util/base64.h"
#include "util/codec_error.h"

namespace brenvik {
namespace {

constexpr std::array<std::string_view, 17> kFailureReasonCodes = {
    "recipient_unreachable",   "relay_pushed",           "relay_stored",
    "relay_pushed_stored",     "transport_send_failed",  "send_confirmation_timed_out",
    "transport_not_connected", "peer_not_reachable",     "message_too_large",
    "serialization_failed",    "crypto_failed",          "session_not_ready",
    "recipient_blocked",       "media_transfer_limit",   "group_not_found",
    "invalid_request",         "protocol_state_invalid",
};

constexpr std::array<TransportType, 5> kBatteryOrder = {
    TransportType::Internet, TransportType::WifiDirect, TransportType::Ble,
    TransportType::Reticulum, TransportType::Nostr};

bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string truncate_at_char_boundary(std::string_view text) {
  if (text.size() <= kEventTextLimit) return std::string(text);
  size_t cut = kEventTextLimit;
  while (cut > 0 && is_continuation_byte(text[cut])) --cut;
  std::string out;
  out.reserve(cut + kTruncatedSuffix.size());
  out.append(text.substr(0, cut));
  out.append(kTruncatedSuffix);
  return out;
}

Result<Bytes, std::string> decode_base64_payload(std::string_view text) {
  if (text.size() > kMaxBase64PayloadChars) {
    return Err("payload too large: " + std::to_string(text.size()) + " encoded bytes exceeds " +
               std::to_string(kMaxBase64PayloadChars) + " limit");
  }
  auto decoded = base64_decode(text);
  if (!decoded.ok()) return Err(std::string(codec_error_message(decoded.error())));
  return std::move(decoded).value();
}

std::string_view failure_reason_code(std::string_view reason) {
  for (std::string_view code : kFailureReasonCodes) {
    if (reason == code) return code;
  }
  if (reason == "Welcome send confirmation timed out") return "send_confirmation_timed_out";
  return "transport_send_failed";
}

std::string panic_payload_text(const std::exception_ptr& payload) {
  try {
    std::rethrow_exception(payload);
  } catch (const std::string& s) {
    return s;
  } catch (const char* s) {
    return s ? std::string(s) : std::string(kNonStringPanicPayload);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return std::string(kNonStringPanicPayload);
  }
}

BatteryReading relay_battery_reading(std::optional<TransportType> preferred,
                                     const std::map<TransportType, BatteryStatus>& statuses) {
  const BatteryStatus* own = nullptr;
  if (preferred) {
    auto it = statuses.find(*preferred);
    if (it != statuses.end()) own = &it->second;
  }
  if (own && own->level) return BatteryReading{true, *own->level, own->charging};

  BatteryReading r;
  for (TransportType t : kBatteryOrder) {
    if (own && t == *preferred) continue;
    auto it = statuses.find(t);
    if (it != statuses.end() && it->second.level) {
      r.known = true;
      r.level = *it->second.level;
      break;
    }
  }
  if (own) {
    r.charging = own->charging;
    return r;
  }
  for (TransportType t : kBatteryOrder) {
    auto it = statuses.find(t);
    if (it != statuses.end()) {
      r.charging = it->second.charging;
      return r;
    }
  }
  return r;
}

}  // namespace brenvik
