// The "debug form" of a text used in log lines and error descriptions: the
// text between double quotes, with quote, backslash and control characters
// escaped (\" \\ \n \r \t \0, others as \u{hex}).
#pragma once

#include <string>
#include <string_view>

namespace brenvik {

std::string debug_quoted(std::string_view text);
void append_debug_quoted(std::string& out, std::string_view text);

}  // namespace brenvik
