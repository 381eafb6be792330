// Reader of internally tagged records: one JSON object whose tag key (for
// example "kind") names the variant and whose other keys are the variant's
// fields, or the array form [tag, field values in declared order].
//
// The tag may come anywhere in the object, so the object is read twice: a
// first pass finds the tag (refusing a second tag key, a tag that is not a
// string or not one of the variants, and a missing tag at the closing
// brace); the second pass reads the variant's fields with read_record, where
// the tag key and every key the variant does not name are skipped.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "util/json_reader.h"
#include "util/result.h"

namespace brenvik {

struct TaggedVariant {
  std::string_view tag;               // value of the tag key
  std::string_view name;              // variant name in errors ("Int")
  std::span<const JsonField> fields;  // declared order
};

// "unknown variant `x`, expected one of ..." listing the variants' tags.
std::string unknown_tag_message(std::string_view found, std::span<const TaggedVariant> variants);

// Finds the variant of the tagged record at the reader's position without
// consuming it. `enum_name` names the record in errors ("DataValue").
Result<size_t, JsonError> peek_tagged_variant(JsonReader& r, std::string_view enum_name,
                                              std::string_view tag_key,
                                              std::span<const TaggedVariant> variants);

// Reads a tagged record: `read_field(variant, field_index)` is called for
// every field present, with the reader at the field's value. Returns the
// variant's index. Refusals:
// - neither object nor array: "invalid type: ..., expected internally tagged
//   enum <enum_name>";
// - object without the tag: "missing field `<tag_key>`"; the tag twice:
//   "duplicate field `<tag_key>`"; an unknown tag: "unknown variant `x`,
//   expected one of ...";
// - array ending before a field that is not Defaulted: "invalid length N,
//   expected struct variant <enum_name>::<name> with M elements" (N and M
//   count the fields after the tag); a surplus value: "trailing characters".
template <typename ReadField>
Result<size_t, JsonError> read_tagged_record(JsonReader& r, std::string_view enum_name,
                                             std::string_view tag_key,
                                             std::span<const TaggedVariant> variants,
                                             ReadField&& read_field) {
  const std::string expecting = "internally tagged enum " + std::string(enum_name);
  BRENVIK_TRY(JsonType t, r.peek_type());
  if (t == JsonType::Object) {
    BRENVIK_TRY(size_t v, peek_tagged_variant(r, enum_name, tag_key, variants));
    const std::string variant_expecting =
        "struct variant " + std::string(enum_name) + "::" + std::string(variants[v].name);
    BRENVIK_TRY_VOID(read_record(r, variant_expecting, variants[v].fields,
                                 [&](size_t i) -> JsonStatus { return read_field(v, i); }));
    return v;
  }
  if (t != JsonType::Array) return Err(r.invalid_type(expecting));

  BRENVIK_TRY_VOID(r.begin_array(expecting));
  BRENVIK_TRY(bool has_tag, r.next_element());
  if (!has_tag) return Err(r.error("invalid length 0, expected tag"));
  BRENVIK_TRY(JsonType tag_type, r.peek_type());
  if (tag_type != JsonType::String) return Err(r.invalid_type("a variant tag string"));
  BRENVIK_TRY(std::string_view tag, r.read_string_view());
  size_t v = variants.size();
  for (size_t i = 0; i < variants.size(); ++i) {
    if (variants[i].tag == tag) {
      v = i;
      break;
    }
  }
  if (v == variants.size()) return Err(r.error(unknown_tag_message(tag, variants)));
  const auto& fields = variants[v].fields;
  const std::string variant_expecting =
      "struct variant " + std::string(enum_name) + "::" + std::string(variants[v].name);
  bool ended = false;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ended) {
      BRENVIK_TRY(bool more, r.next_element());
      ended = !more;
    }
    if (ended) {
      if (fields[i].rule != FieldRule::Defaulted)
        return Err(r.invalid_length(i, variant_expecting, fields.size()));
      continue;
    }
    BRENVIK_TRY_VOID(read_field(v, i));
  }
  if (!ended) {
    BRENVIK_TRY(bool more, r.next_element());
    if (more) return Err(r.peek_error("trailing characters"));
  }
  return v;
}

}  // namespace brenvik
