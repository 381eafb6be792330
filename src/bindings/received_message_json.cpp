#include "bindings/received_message_json.h"

#include <exception>
#include <nlohmann/json.hpp>

#include "core/sub_records_json.h"
#include "util/json_writer.h"
#include "util/log.h"

namespace brenvik::ffi {

namespace {

constexpr std::string_view kTarget = "brenvik_protocol_bindings";

const char* capitalised_priority(MessagePriority p) {
  switch (p) {
    case MessagePriority::Low:
      return "Low";
    case MessagePriority::Medium:
      return "Medium";
    case MessagePriority::High:
      return "High";
    case MessagePriority::Critical:
      return "Critical";
  }
  return "Medium";
}

}  // namespace

std::optional<std::string> received_message_json(const Message& m) {
  const std::string id = display_message_id(m.id);
  try {
    nlohmann::json o = nlohmann::json::object();  // std::map: keys sorted bytewise
    o["app_id"] = m.app_id;
    o["content"] = m.content;
    o["content_type"] = std::string(content_type_name(m.content_type));
    if (m.forwarded_from) {
      const ForwardInfo& f = *m.forwarded_from;
      o["forwarded_from"] = {{"forward_count", f.forward_count},
                             {"original_message_id", display_message_id(f.original_message_id)},
                             {"original_sender", f.original_sender},
                             {"original_timestamp", f.original_timestamp}};
    }
    o["hop_count"] = m.hop_count;
    o["id"] = id;
    o["lamport_clock"] = m.lamport_clock;
    if (m.media_metadata) {
      try {
        JsonWriter w;
        media_metadata_to_json(w, *m.media_metadata);
        nlohmann::json mm = nlohmann::json::parse(w.take());
        // Unset optional fields are left out rather than written as null.
        for (auto it = mm.begin(); it != mm.end();) {
          if (it->is_null())
            it = mm.erase(it);
          else
            ++it;
        }
        o["media_metadata"] = std::move(mm);
      } catch (const std::exception& e) {
        BRENVIK_LOG(LogLevel::Warn, kTarget,
                    {"message", "Failed to serialize media metadata, omitting from message JSON"},
                    {"message_id", id}, {"error", e.what()});
      }
    }
    o["priority"] = capitalised_priority(m.priority);
    o["recipient"] = m.recipient;
    o["sender"] = m.sender;
    o["timestamp"] = m.timestamp;
    o["ttl"] = m.ttl;
    return o.dump();
  } catch (const std::exception& e) {
    // Invalid UTF-8 in a peer's text is the one way the dump fails.
    BRENVIK_LOG(LogLevel::Error, kTarget,
                {"message", "Failed to serialize received message \xE2\x80\x94 message lost"},
                {"message_id", id}, {"error", e.what()});
    return std::nullopt;
  }
}

}  // namespace brenvik::ffi
