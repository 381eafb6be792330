#include "protocol/records/generic_json.h"

#include "util/json_writer.h"

namespace brenvik {

std::string describe_generic(const nlohmann::json& v) {
  switch (v.type()) {
    case nlohmann::json::value_t::null:
      return "null";
    case nlohmann::json::value_t::boolean:
      return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case nlohmann::json::value_t::number_unsigned:
      return "integer `" + std::to_string(v.get<uint64_t>()) + "`";
    case nlohmann::json::value_t::number_integer:
      return "integer `" + std::to_string(v.get<int64_t>()) + "`";
    case nlohmann::json::value_t::number_float:
      return "floating point `" + json_dump(v) + "`";
    case nlohmann::json::value_t::string:
      return "string " + json_dump(v);
    case nlohmann::json::value_t::array:
      return "sequence";
    case nlohmann::json::value_t::object:
      return "map";
    case nlohmann::json::value_t::binary:
    case nlohmann::json::value_t::discarded:
      break;
  }
  return "value";
}

Result<uint64_t, std::string> generic_unsigned(const nlohmann::json& v, uint64_t max,
                                               std::string_view what) {
  if (v.is_number_unsigned()) {
    uint64_t n = v.get<uint64_t>();
    if (n > max)
      return Err("invalid value: " + describe_generic(v) + ", expected " + std::string(what));
    return n;
  }
  if (v.is_number_integer())
    return Err("invalid value: " + describe_generic(v) + ", expected " + std::string(what));
  return Err("invalid type: " + describe_generic(v) + ", expected " + std::string(what));
}

Result<std::string, std::string> generic_string(const nlohmann::json& v) {
  if (!v.is_string()) return Err("invalid type: " + describe_generic(v) + ", expected a string");
  return v.get<std::string>();
}

}  // namespace brenvik
