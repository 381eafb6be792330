// Small enumerations of the message model and their text forms.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brenvik {

// Ordered from least to most urgent; the reliability tables and the relay
// queue compare by this order. Numbered 0..3 here (1..4 on the exported
// interface).
enum class MessagePriority : uint8_t { Low = 0, Medium = 1, High = 2, Critical = 3 };

std::string_view priority_name(MessagePriority p);  // "low", "medium", "high", "critical"
// Lowercase or capitalised names ("low", "Low", ...); nothing for other text.
std::optional<MessagePriority> priority_from_name(std::string_view name);

// The number is the byte in the compact frame; the name is the JSON text.
enum class ContentType : uint8_t {
  Text = 0,
  Image = 1,
  Video = 2,
  Audio = 3,
  VoiceNote = 4,
  VideoNote = 5,
  File = 6,
  FileChunk = 7,
  Poll = 8,
};
inline constexpr uint8_t kContentTypeCount = 9;

std::string_view content_type_name(ContentType t);
// Exact, case-sensitive match of the nine names; any other text is File.
ContentType content_type_from_name(std::string_view name);
// The compact frame's byte: 9 or more reads as File.
inline ContentType content_type_from_byte(uint8_t b) {
  return b < kContentTypeCount ? ContentType(b) : ContentType::File;
}

enum class TransportType : uint8_t {
  Internet = 0,
  Ble = 1,
  WifiDirect = 2,
  Reticulum = 3,
  Nostr = 4
};
// The one table of each text form of a transport type, indexed by its
// number: the record name used in JSON ("internet", "ble", "wifiDirect", ...)
// and the display name used in logs, error texts and the host interface
// ("Internet", "BLE", "WiFiDirect", ...).
inline constexpr std::array<std::string_view, 5> kTransportTypeNames{
    "internet", "ble", "wifiDirect", "reticulum", "nostr"};
inline constexpr std::array<std::string_view, 5> kTransportTypeDisplayNames{
    "Internet", "BLE", "WiFiDirect", "Reticulum", "Nostr"};
std::string_view transport_type_name(TransportType t);          // record name
std::string_view transport_type_display_name(TransportType t);  // display name

enum class TransportStatus : uint8_t { Available, Unavailable, Connecting, Disconnected, Error };
std::string_view transport_status_name(TransportStatus s);

}  // namespace brenvik
