#include "protocol/records/tagged_record.h"

#include <vector>

namespace brenvik {

std::string unknown_tag_message(std::string_view found, std::span<const TaggedVariant> variants) {
  std::vector<std::string_view> tags;
  tags.reserve(variants.size());
  for (const auto& v : variants) tags.push_back(v.tag);
  return unknown_variant_message(found, tags);
}

Result<size_t, JsonError> peek_tagged_variant(JsonReader& r, std::string_view enum_name,
                                              std::string_view tag_key,
                                              std::span<const TaggedVariant> variants) {
  const JsonReader::Mark start = r.mark();
  auto scan = [&]() -> Result<size_t, JsonError> {
    BRENVIK_TRY_VOID(r.begin_object("internally tagged enum " + std::string(enum_name)));
    size_t found = variants.size();
    bool seen = false;
    std::string_view key;
    for (;;) {
      BRENVIK_TRY(bool more, r.next_key(key));
      if (!more) break;
      if (key != tag_key) {
        BRENVIK_TRY_VOID(r.skip_value());
        continue;
      }
      if (seen) return Err(r.duplicate_field(tag_key));
      seen = true;
      BRENVIK_TRY(JsonType t, r.peek_type());
      if (t != JsonType::String) return Err(r.invalid_type("a variant tag string"));
      BRENVIK_TRY(std::string_view tag, r.read_string_view());
      for (size_t i = 0; i < variants.size(); ++i) {
        if (variants[i].tag == tag) found = i;
      }
      if (found == variants.size()) return Err(r.error(unknown_tag_message(tag, variants)));
    }
    if (!seen) return Err(r.missing_field(tag_key));
    return found;
  };
  auto result = scan();
  if (result.ok()) r.reset(start);
  return result;
}

}  // namespace brenvik
