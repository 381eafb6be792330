#include "protocol/receive/ack_fields.h"

#include <array>

namespace brenvik {

uint8_t parse_ack_hop_count(std::optional<std::string_view> value) {
  if (!value) return 0;
  std::string_view s = *value;
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return 0;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + unsigned(c - '0');
    if (v > 255) return 0;  // also stops long digit runs from overflowing
  }
  return uint8_t(v);
}

namespace {
bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}
}  // namespace

TransportType ack_transport_from_name(std::optional<std::string_view> value) {
  if (!value) return TransportType::Ble;
  struct Name {
    std::string_view text;
    TransportType type;
  };
  static constexpr std::array<Name, 6> kNames{{
      {"internet", TransportType::Internet},
      {"wifidirect", TransportType::WifiDirect},
      {"wifi_direct", TransportType::WifiDirect},
      {"wifi-direct", TransportType::WifiDirect},
      {"reticulum", TransportType::Reticulum},
      {"nostr", TransportType::Nostr},
  }};
  for (const auto& n : kNames)
    if (ascii_iequals(*value, n.text)) return n.type;
  return TransportType::Ble;
}

}  // namespace brenvik
