#include "mls/pending_welcome.h"

#include <optional>

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik::mls {
namespace {
constexpr JsonField kFields[] = {
    {"group_id", FieldRule::Required},     {"welcome_data", FieldRule::Required},
    {"inviter_id", FieldRule::Required},   {"group_name", FieldRule::Optional},
    {"timestamp_ms", FieldRule::Required},
};

template <typename T>
JsonStatus take(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(r.error());
  out = std::move(r).value();
  return {};
}
}  // namespace

std::string write_pending_welcome(const WelcomeMessage& m) {
  JsonWriter w(96 + m.welcome_data.size() * 4);
  w.begin_object();
  w.field_str("group_id", m.group_id.str());
  w.key("welcome_data").byte_array(m.welcome_data);
  w.field_str("inviter_id", m.inviter_id);
  if (m.group_name)
    w.field_str("group_name", *m.group_name);
  else
    w.key("group_name").null();
  w.field_u64("timestamp_ms", m.timestamp_ms);
  w.end_object();
  return w.take();
}

Result<WelcomeMessage, std::string> read_pending_welcome(ByteView bytes) {
  JsonReader r(bytes);
  std::optional<GroupId> gid;
  Bytes welcome_data;
  std::string inviter_id;
  std::optional<std::string> group_name;
  uint64_t timestamp_ms = 0;
  auto st = read_record(r, "struct WelcomeMessage", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0: {
        std::string text;
        BRENVIK_TRY_VOID(take(r.read_string(), text));
        auto g = GroupId::create(std::move(text));
        if (!g.ok()) return Err(r.error(g.error().message()));
        gid = std::move(g).value();
        return {};
      }
      case 1:
        return take(r.read_byte_array(), welcome_data);
      case 2:
        return take(r.read_string(), inviter_id);
      case 3:
        return take(r.read_optional_string(), group_name);
      default:
        return take(r.read_u64(), timestamp_ms);
    }
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(st.error().to_string());
  return WelcomeMessage{std::move(*gid), std::move(welcome_data), std::move(inviter_id),
                        std::move(group_name), timestamp_ms};
}

}  // namespace brenvik::mls
