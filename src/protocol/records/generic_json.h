// Descriptions and checks for records read from an already parsed generic
// JSON value (frames and receipts whose text was parsed before the record is
// known). Errors carry no position: the text is gone by then.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "util/result.h"

namespace brenvik {

// "null", "boolean `true`", "integer `5`", "floating point `2.0`",
// "string \"x\"", "sequence", "map".
std::string describe_generic(const nlohmann::json& v);

// An unsigned integer up to `max`: a float is "invalid type: floating point
// `2.0`, expected <what>", a negative or too large integer "invalid value:
// integer `-1`, expected <what>".
Result<uint64_t, std::string> generic_unsigned(const nlohmann::json& v, uint64_t max,
                                               std::string_view what);

// The string held, else "invalid type: <found>, expected a string".
Result<std::string, std::string> generic_string(const nlohmann::json& v);

}  // namespace brenvik
