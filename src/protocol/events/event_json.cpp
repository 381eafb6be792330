#include "protocol/events/event_json.h"

#include <type_traits>

#include "core/sub_records_json.h"

namespace brenvik {
namespace {

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

struct JsonFieldWriter {
  JsonWriter& w;

  void value(const std::string& v) { w.str(v); }
  void value(bool v) { w.boolean(v); }
  void value(float v) { w.f32(v); }
  void value(const Bytes& v) { w.byte_array(v); }
  void value(const ForwardInfo& v) { forward_info_to_json(w, v); }
  void value(const ReplyContext& v) { reply_context_to_json(w, v); }
  void value(const MediaMetadata& v) { media_metadata_to_json(w, v); }
  void value(const GroupInfoMemberPayload& v) {
    w.begin_object();
    w.field_str("user_id", v.user_id);
    w.field_str("role", v.role);
    w.field_str("joined_at", v.joined_at);
    w.end_object();
  }
  void value(const UserGroupSummaryPayload& v) {
    w.begin_object();
    w.field_str("group_id", v.group_id);
    w.field_str("name", v.name);
    w.field_str("created_at", v.created_at);
    w.end_object();
  }
  void value(const ResolvedClaim& v) {
    w.begin_object();
    w.field_str("address", v.address);
    w.field_str("public_key", v.public_key);
    w.field_i64("issued_at_ms", v.issued_at_ms);
    w.end_object();
  }
  void value(const std::pair<std::string, float>& v) {
    w.begin_array();
    w.str(v.first);
    w.f32(v.second);
    w.end_array();
  }
  void value(const std::map<std::string, std::string>& m) {
    w.begin_object();
    for (const auto& [k, v] : m) w.field_str(k, v);
    w.end_object();
  }
  template <typename T>
  void value(const std::vector<T>& list) {
    w.begin_array();
    for (const auto& e : list) value(e);
    w.end_array();
  }
  template <typename T>
  requires std::is_integral_v<T>
  void value(T v) {
    if constexpr (std::is_signed_v<T>)
      w.i64(v);
    else
      w.u64(v);
  }
  template <typename T>
  requires std::is_enum_v<T>
  void value(T v) { w.str(enum_json_text(v)); }

  template <typename T>
  void operator()(std::string_view name, const T& v, FieldMark m) {
    if constexpr (IsOptional<T>::value) {
      if (!v) {
        if (m.has(kNullWhenAbsent)) w.field_null(name);
        return;
      }
      w.key(name);
      value(*v);
    } else {
      w.key(name);
      value(v);
    }
  }
};

}  // namespace

void encode_event_json(JsonWriter& w, const ProtocolEvent& event) {
  std::visit(
      [&](const auto& e) {
        using E = std::decay_t<decltype(e)>;
        w.begin_object();
        w.field_str("type", E::kTag);
        JsonFieldWriter fw{w};
        E::each_field(e, fw);
        w.end_object();
      },
      event.variant());
}

std::string serialize_event_json(const ProtocolEvent& event) {
  JsonWriter w(128);
  encode_event_json(w, event);
  return w.take();
}

}  // namespace brenvik
