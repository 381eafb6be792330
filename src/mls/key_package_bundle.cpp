#include "mls/key_package_bundle.h"

#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik::mls {
namespace {
constexpr JsonField kFields[] = {
    {"package_id", FieldRule::Required},
    {"user_id", FieldRule::Required},
    {"key_package_data", FieldRule::Required},
    {"created_at_ms", FieldRule::Required},
    {"expires_at_ms", FieldRule::Required},
    {"synced", FieldRule::Required},
    {"reserved_for_publication", FieldRule::Defaulted},
    {"assigned_peer", FieldRule::Defaulted},
    {"provider_hash_ref", FieldRule::Defaulted},
};

template <typename T>
JsonStatus take(Result<T, JsonError> r, T& out) {
  if (!r.ok()) return Err(r.error());
  out = std::move(r).value();
  return {};
}
}  // namespace

KeyPackageBundle KeyPackageBundle::make(std::string package_id, std::string user_id, Bytes data,
                                        uint64_t now_ms, uint64_t lifetime_s) {
  KeyPackageBundle b;
  b.package_id = std::move(package_id);
  b.user_id = std::move(user_id);
  b.key_package_data = std::move(data);
  b.created_at_ms = now_ms;
  b.expires_at_ms = now_ms + lifetime_s * 1000;
  return b;
}

std::string write_key_package_bundle(const KeyPackageBundle& b) {
  JsonWriter w(256 + b.key_package_data.size() * 4);
  w.begin_object();
  w.field_str("package_id", b.package_id);
  w.field_str("user_id", b.user_id);
  w.key("key_package_data").byte_array(b.key_package_data);
  w.field_u64("created_at_ms", b.created_at_ms);
  w.field_u64("expires_at_ms", b.expires_at_ms);
  w.key("synced").boolean(b.synced);
  w.key("reserved_for_publication").boolean(b.reserved_for_publication);
  if (b.assigned_peer)
    w.field_str("assigned_peer", *b.assigned_peer);
  else
    w.field_null("assigned_peer");
  if (b.provider_hash_ref)
    w.key("provider_hash_ref").byte_array(*b.provider_hash_ref);
  else
    w.field_null("provider_hash_ref");
  w.end_object();
  return w.take();
}

Result<KeyPackageBundle, std::string> read_key_package_bundle(ByteView bytes) {
  JsonReader r(bytes);
  KeyPackageBundle b;
  auto st = read_record(r, "struct KeyPackageBundle", kFields, [&](size_t i) -> JsonStatus {
    switch (i) {
      case 0:
        return take(r.read_string(), b.package_id);
      case 1:
        return take(r.read_string(), b.user_id);
      case 2:
        return take(r.read_byte_array(), b.key_package_data);
      case 3:
        return take(r.read_u64(), b.created_at_ms);
      case 4:
        return take(r.read_u64(), b.expires_at_ms);
      case 5:
        return take(r.read_bool(), b.synced);
      case 6:
        return take(r.read_bool(), b.reserved_for_publication);
      case 7:
        return take(r.read_optional_string(), b.assigned_peer);
      default: {
        auto null = r.peek_null();
        if (!null.ok()) return Err(null.error());
        if (null.value()) {
          b.provider_hash_ref.reset();
          return r.read_null();
        }
        Bytes ref;
        BRENVIK_TRY_VOID(take(r.read_byte_array(), ref));
        b.provider_hash_ref = std::move(ref);
        return {};
      }
    }
  });
  if (st.ok()) st = r.finish();
  if (!st.ok()) return Err(st.error().to_string());
  return b;
}

}  // namespace brenvik::mls
