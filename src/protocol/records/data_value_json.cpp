#include "protocol/records/data_value_json.h"

#include "protocol/records/field_assign.h"
#include "protocol/records/tagged_record.h"

namespace brenvik {

namespace {

constexpr JsonField kValueField[] = {{"value", FieldRule::Required}};
constexpr JsonField kAttachmentFields[] = {{"hash", FieldRule::Required},
                                           {"size", FieldRule::Required},
                                           {"name", FieldRule::Optional},
                                           {"mime", FieldRule::Optional}};

// Declared order is the order of the variant and of the error's tag list.
constexpr TaggedVariant kVariants[] = {
    {"null", "Null", {}},
    {"bool", "Bool", kValueField},
    {"int", "Int", kValueField},
    {"float", "Float", kValueField},
    {"text", "Text", kValueField},
    {"bytes", "Bytes", kValueField},
    {"attachment", "Attachment", kAttachmentFields},
};

DataValue empty_of(size_t variant) {
  switch (variant) {
    case 1:
      return {DataValue::Bool{}};
    case 2:
      return {DataValue::Int{}};
    case 3:
      return {DataValue::Float{}};
    case 4:
      return {DataValue::Text{}};
    case 5:
      return {DataValue::Bytes{}};
    case 6:
      return {DataValue::Attachment{}};
    default:
      return {DataValue::Null{}};
  }
}

}  // namespace

Result<DataValue, JsonError> read_data_value(JsonReader& r) {
  DataValue out;
  BRENVIK_TRY(
      size_t variant,
      read_tagged_record(
          r, "DataValue", "kind", kVariants, [&](size_t v, size_t field) -> JsonStatus {
            if (out.v.index() != v) out = empty_of(v);
            switch (v) {
              case 1:
                return assign_field(r.read_bool(), std::get<DataValue::Bool>(out.v).value);
              case 2:
                return assign_field(r.read_i64(), std::get<DataValue::Int>(out.v).value);
              case 3:
                return assign_field(r.read_f64(), std::get<DataValue::Float>(out.v).value);
              case 4:
                return assign_field(r.read_string(), std::get<DataValue::Text>(out.v).value);
              case 5:
                return assign_field(r.read_byte_array(), std::get<DataValue::Bytes>(out.v).value);
              case 6: {
                auto& a = std::get<DataValue::Attachment>(out.v);
                switch (field) {
                  case 0:
                    return assign_field(r.read_string(), a.hash);
                  case 1:
                    return assign_field(r.read_u64(), a.size);
                  case 2:
                    return assign_field(r.read_optional_string(), a.name);
                  default:
                    return assign_field(r.read_optional_string(), a.mime);
                }
              }
              default:
                return {};
            }
          }));
  if (out.v.index() != variant) out = empty_of(variant);  // Null, or no field present
  return out;
}

Result<DataValue, JsonError> read_data_value_json(ByteView input) {
  JsonReader r(input);
  BRENVIK_TRY(DataValue v, read_data_value(r));
  BRENVIK_TRY_VOID(r.finish());
  return v;
}

Result<DataValue, JsonError> read_data_value_json(std::string_view input) {
  return read_data_value_json(as_bytes(input));
}

void write_data_value(JsonWriter& w, const DataValue& value) {
  w.begin_object();
  w.field_str("kind", kVariants[value.v.index()].tag);
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, DataValue::Bool>) {
          w.field_bool("value", x.value);
        } else if constexpr (std::is_same_v<T, DataValue::Int>) {
          w.field_i64("value", x.value);
        } else if constexpr (std::is_same_v<T, DataValue::Float>) {
          w.field_f64("value", x.value);
        } else if constexpr (std::is_same_v<T, DataValue::Text>) {
          w.field_str("value", x.value);
        } else if constexpr (std::is_same_v<T, DataValue::Bytes>) {
          w.key("value").byte_array(x.value);
        } else if constexpr (std::is_same_v<T, DataValue::Attachment>) {
          w.field_str("hash", x.hash);
          w.field_u64("size", x.size);
          if (x.name) w.field_str("name", *x.name);
          if (x.mime) w.field_str("mime", *x.mime);
        }
      },
      value.v);
  w.end_object();
}

std::string write_data_value_json(const DataValue& value) {
  JsonWriter w(64);
  write_data_value(w, value);
  return w.take();
}

}  // namespace brenvik
