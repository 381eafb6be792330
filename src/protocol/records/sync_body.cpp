#include "protocol/records/sync_body.h"

#include <array>

#include "protocol/records/generic_json.h"
#include "util/json_reader.h"
#include "util/json_writer.h"

namespace brenvik {

namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 7> kTags = {"vv",        "delta",     "snap", "need_snap",
                                                   "need_blob", "blob_gone", "chunk"};

// The object's members by key; a key absent from the object is nullptr.
class Fields {
 public:
  explicit Fields(const Json& obj) : obj_(obj) {}
  const Json* find(const char* key) const {
    auto it = obj_.find(key);
    return it == obj_.end() ? nullptr : &*it;
  }
  Result<std::string, std::string> text(const char* key) const {
    const Json* v = find(key);
    if (!v) return Err(std::string("missing field `") + key + "`");
    return generic_string(*v);
  }
  Result<bool, std::string> flag(const char* key) const {  // default false
    const Json* v = find(key);
    if (!v) return false;
    if (!v->is_boolean())
      return Err("invalid type: " + describe_generic(*v) + ", expected a boolean");
    return v->get<bool>();
  }
  Result<uint32_t, std::string> u32(const char* key) const {
    const Json* v = find(key);
    if (!v) return Err(std::string("missing field `") + key + "`");
    BRENVIK_TRY(uint64_t n, generic_unsigned(*v, UINT32_MAX, "u32"));
    return uint32_t(n);
  }
  // A map of strings; `required` decides between refusal and empty when
  // the key is absent.
  Result<std::map<std::string, std::string>, std::string> map(const char* key,
                                                              bool required) const {
    std::map<std::string, std::string> out;
    const Json* v = find(key);
    if (!v) {
      if (required) return Err(std::string("missing field `") + key + "`");
      return out;
    }
    if (!v->is_object()) return Err("invalid type: " + describe_generic(*v) + ", expected a map");
    for (const auto& [k, val] : v->items()) {
      BRENVIK_TRY(std::string s, generic_string(val));
      out.emplace(k, std::move(s));
    }
    return out;
  }
  Result<std::optional<std::string>, std::string> optional_text(const char* key) const {
    const Json* v = find(key);
    if (!v || v->is_null()) return std::optional<std::string>();
    BRENVIK_TRY(std::string s, generic_string(*v));
    return std::optional<std::string>(std::move(s));
  }
  Result<std::optional<std::vector<std::string>>, std::string> optional_list(
      const char* key) const {
    const Json* v = find(key);
    if (!v || v->is_null()) return std::optional<std::vector<std::string>>();
    if (!v->is_array())
      return Err("invalid type: " + describe_generic(*v) + ", expected a sequence");
    std::vector<std::string> out;
    out.reserve(v->size());
    for (const auto& e : *v) {
      BRENVIK_TRY(std::string s, generic_string(e));
      out.push_back(std::move(s));
    }
    return std::optional<std::vector<std::string>>(std::move(out));
  }

 private:
  const Json& obj_;
};

}  // namespace

Result<SyncBody, std::string> read_sync_body(const nlohmann::json& frame) {
  if (!frame.is_object())
    return Err("invalid type: " + describe_generic(frame) +
               ", expected internally tagged enum SyncBody");
  Fields f(frame);
  const Json* k = f.find("k");
  if (!k) return Err(std::string("missing field `k`"));
  if (!k->is_string())
    return Err("invalid type: " + describe_generic(*k) + ", expected a variant tag string");
  const auto& tag = k->get_ref<const std::string&>();
  size_t kind = kTags.size();
  for (size_t i = 0; i < kTags.size(); ++i)
    if (kTags[i] == tag) kind = i;
  switch (kind) {
    case 0: {
      SyncBody::Versions b;
      BRENVIK_TRY(b.reply, f.flag("reply"));
      BRENVIK_TRY(b.partial, f.flag("partial"));
      BRENVIK_TRY(b.docs, f.map("docs", true));
      BRENVIK_TRY(b.gone, f.map("gone", false));
      BRENVIK_TRY(b.want, f.optional_list("want"));
      return SyncBody{std::move(b)};
    }
    case 1: {
      SyncBody::Delta b;
      BRENVIK_TRY(b.doc, f.text("doc"));
      BRENVIK_TRY(b.blob, f.text("blob"));
      return SyncBody{std::move(b)};
    }
    case 2: {
      SyncBody::Snapshot b;
      BRENVIK_TRY(b.doc, f.text("doc"));
      BRENVIK_TRY(b.blob, f.text("blob"));
      return SyncBody{std::move(b)};
    }
    case 3: {
      SyncBody::NeedSnapshot b;
      BRENVIK_TRY(b.doc, f.text("doc"));
      return SyncBody{std::move(b)};
    }
    case 4: {
      SyncBody::NeedBlob b;
      BRENVIK_TRY(b.hash, f.text("hash"));
      BRENVIK_TRY(b.to, f.optional_text("to"));
      return SyncBody{std::move(b)};
    }
    case 5: {
      SyncBody::BlobGone b;
      BRENVIK_TRY(b.hash, f.text("hash"));
      return SyncBody{std::move(b)};
    }
    case 6: {
      SyncBody::Chunk b;
      BRENVIK_TRY(b.hash, f.text("hash"));
      BRENVIK_TRY(b.i, f.u32("i"));
      BRENVIK_TRY(b.n, f.u32("n"));
      BRENVIK_TRY(b.blob, f.text("blob"));
      return SyncBody{std::move(b)};
    }
    default:
      return Err(unknown_variant_message(tag, kTags));
  }
}

std::string write_sync_frame_json(const SyncBody& body) {
  JsonWriter w(128);
  w.begin_object();
  w.field_u64("v", 1);
  w.field_str("k", kTags[body.v.index()]);
  auto write_map = [&](std::string_view key, const std::map<std::string, std::string>& m) {
    w.key(key).begin_object();
    for (const auto& [name, token] : m) w.field_str(name, token);
    w.end_object();
  };
  std::visit(
      [&](const auto& b) {
        using T = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<T, SyncBody::Versions>) {
          w.field_bool("reply", b.reply);
          w.field_bool("partial", b.partial);
          write_map("docs", b.docs);
          if (!b.gone.empty()) write_map("gone", b.gone);
          if (b.want) {
            w.key("want").begin_array();
            for (const auto& p : *b.want) w.str(p);
            w.end_array();
          }
        } else if constexpr (std::is_same_v<T, SyncBody::Delta> ||
                             std::is_same_v<T, SyncBody::Snapshot>) {
          w.field_str("doc", b.doc);
          w.field_str("blob", b.blob);
        } else if constexpr (std::is_same_v<T, SyncBody::NeedSnapshot>) {
          w.field_str("doc", b.doc);
        } else if constexpr (std::is_same_v<T, SyncBody::NeedBlob>) {
          w.field_str("hash", b.hash);
          if (b.to) w.field_str("to", *b.to);
        } else if constexpr (std::is_same_v<T, SyncBody::BlobGone>) {
          w.field_str("hash", b.hash);
        } else if constexpr (std::is_same_v<T, SyncBody::Chunk>) {
          w.field_str("hash", b.hash);
          w.field_u64("i", b.i);
          w.field_u64("n", b.n);
          w.field_str("blob", b.blob);
        }
      },
      body.v);
  w.end_object();
  return w.take();
}

}  // namespace brenvik
