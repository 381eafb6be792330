// The "debug form" of a text used in log lines and error descriptions: the
// text between double quotes, with quote, backslash and control characters
// escaped (\" \\ \n \r \t \0, others as \u{hex}).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brenvik {

// The two variants that records already written in logs and debug texts
// use: the events' diagnostic form writes NUL as \u{0}, and the document
// engine's debug form writes every \u{..} escape with two hex digits.
struct DebugQuoteForm {
  bool nul_as_backslash_zero = true;
  uint8_t min_hex_digits = 1;
};

std::string debug_quoted(std::string_view text, DebugQuoteForm form = {});
void append_debug_quoted(std::string& out, std::string_view text, DebugQuoteForm form = {});

}  // namespace brenvik
