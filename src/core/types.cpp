#include "core/types.h"

namespace brenvik {

std::string_view priority_name(MessagePriority p) {
  switch (p) {
    case MessagePriority::Low:
      return "low";
    case MessagePriority::Medium:
      return "medium";
    case MessagePriority::High:
      return "high";
    case MessagePriority::Critical:
      return "critical";
  }
  return "medium";
}

std::optional<MessagePriority> priority_from_name(std::string_view n) {
  if (n == "low" || n == "Low") return MessagePriority::Low;
  if (n == "medium" || n == "Medium") return MessagePriority::Medium;
  if (n == "high" || n == "High") return MessagePriority::High;
  if (n == "critical" || n == "Critical") return MessagePriority::Critical;
  return std::nullopt;
}

namespace {
constexpr std::string_view kContentTypeNames[kContentTypeCount] = {
    "text", "image", "video", "audio", "voice_note", "video_note", "file", "file_chunk", "poll"};
}

std::string_view content_type_name(ContentType t) {
  auto i = static_cast<uint8_t>(t);
  return i < kContentTypeCount ? kContentTypeNames[i] : "file";
}

ContentType content_type_from_name(std::string_view name) {
  for (uint8_t i = 0; i < kContentTypeCount; ++i) {
    if (kContentTypeNames[i] == name) return ContentType(i);
  }
  return ContentType::File;
}

std::string_view transport_type_name(TransportType t) {
  auto i = size_t(t);
  return i < kTransportTypeNames.size() ? kTransportTypeNames[i] : kTransportTypeNames[0];
}

std::string_view transport_type_display_name(TransportType t) {
  auto i = size_t(t);
  return i < kTransportTypeDisplayNames.size() ? kTransportTypeDisplayNames[i] : "Unknown";
}

std::string_view transport_status_name(TransportStatus s) {
  switch (s) {
    case TransportStatus::Available:
      return "Available";
    case TransportStatus::Unavailable:
      return "Unavailable";
    case TransportStatus::Connecting:
      return "Connecting";
    case TransportStatus::Disconnected:
      return "Disconnected";
    case TransportStatus::Error:
      return "Error";
  }
  return "Error";
}

}  // namespace brenvik
