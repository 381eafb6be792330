#include "util/debug_string.h"

#include <cstdint>

namespace brenvik {

void append_debug_quoted(std::string& out, std::string_view text, DebugQuoteForm form) {
  out.push_back('"');
  for (char ch : text) {
    const uint8_t c = uint8_t(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c == 0 && form.nul_as_backslash_zero) {
          out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
          static constexpr char hex[] = "0123456789abcdef";
          out += "\\u{";
          if (c >= 16 || form.min_hex_digits > 1) out.push_back(hex[c >> 4]);
          out.push_back(hex[c & 15]);
          out.push_back('}');
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

std::string debug_quoted(std::string_view text, DebugQuoteForm form) {
  std::string out;
  out.reserve(text.size() + 2);
  append_debug_quoted(out, text, form);
  return out;
}

}  // namespace brenvik
