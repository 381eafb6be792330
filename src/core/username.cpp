#include "core/username.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "util/utf8.h"

namespace brenvik {

namespace {

std::vector<char32_t> decode(std::string_view text) {
  std::vector<char32_t> cps;
  cps.reserve(text.size());
  auto p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = utf8proc_ssize_t(text.size());
  while (left > 0) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) break;  // callers validate first
    cps.push_back(char32_t(cp));
    p += n;
    left -= n;
  }
  return cps;
}

void encode(std::string& out, char32_t cp) {
  utf8proc_uint8_t buf[4];
  auto n = utf8proc_encode_char(utf8proc_int32_t(cp), buf);
  out.append(reinterpret_cast<const char*>(buf), size_t(n));
}

bool is_cased(char32_t c) {
  auto cat = utf8proc_category(utf8proc_int32_t(c));
  return cat == UTF8PROC_CATEGORY_LU || cat == UTF8PROC_CATEGORY_LL ||
         cat == UTF8PROC_CATEGORY_LT || utf8proc_islower(utf8proc_int32_t(c)) ||
         utf8proc_isupper(utf8proc_int32_t(c));
}

// Case_Ignorable: Mn, Me, Cf, Lm, Sk and the word-break MidLetter,
// MidNumLet and Single_Quote characters.
bool is_case_ignorable(char32_t c) {
  switch (c) {
    case 0x27:
    case 0x2E:
    case 0x3A:
    case 0xB7:
    case 0x387:
    case 0x55F:
    case 0x5F4:
    case 0x2018:
    case 0x2019:
    case 0x2024:
    case 0x2027:
    case 0xFE13:
    case 0xFE52:
    case 0xFE55:
    case 0xFF07:
    case 0xFF0E:
    case 0xFF1A:
      return true;
    default:
      break;
  }
  auto cat = utf8proc_category(utf8proc_int32_t(c));
  return cat == UTF8PROC_CATEGORY_MN || cat == UTF8PROC_CATEGORY_ME ||
         cat == UTF8PROC_CATEGORY_CF || cat == UTF8PROC_CATEGORY_LM || cat == UTF8PROC_CATEGORY_SK;
}

// Unicode Final_Sigma: a cased letter (skipping case-ignorables) before, and
// no cased letter (skipping case-ignorables) after.
bool final_sigma(const std::vector<char32_t>& cps, size_t i) {
  bool before = false;
  for (size_t j = i; j-- > 0;) {
    if (is_case_ignorable(cps[j])) continue;
    before = is_cased(cps[j]);
    break;
  }
  if (!before) return false;
  for (size_t j = i + 1; j < cps.size(); ++j) {
    if (is_case_ignorable(cps[j])) continue;
    return !is_cased(cps[j]);
  }
  return true;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_control_or_format(char32_t c) {
  struct Range {
    char32_t lo, hi;
  };
  static constexpr Range kTable[] = {
      {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
      {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
      {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
      {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},
      {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
      {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
  };
  for (const auto& r : kTable) {
    if (c >= r.lo && c <= r.hi) return true;
  }
  return false;
}

bool address_shaped(std::string_view s) {
  if (s.size() != 44 || s.substr(0, 4) != "brv1") return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

}  // namespace

std::string UsernameError::message() const {
  switch (kind) {
    case Kind::Empty:
      return "username is empty or whitespace after normalization";
    case Kind::TooLong:
      return "username is " + std::to_string(length) + " bytes after normalization, maximum is " +
             std::to_string(maximum);
    case Kind::AddressShaped:
      return "username has the shape of an address, which is not claimable";
    case Kind::ControlOrFormat:
      return "username contains a control or format character";
    case Kind::InvalidUtf8:
      return "username is not valid UTF-8";
  }
  return {};
}

Result<std::string, UsernameError> full_lowercase(std::string_view text) {
  if (!validate_utf8(text).ok()) return Err(UsernameError{UsernameError::Kind::InvalidUtf8});
  auto cps = decode(text);
  std::string out;
  out.reserve(text.size() + 4);
  for (size_t i = 0; i < cps.size(); ++i) {
    char32_t c = cps[i];
    if (c == 0x130) {  // the one unconditional multi-character lowercase mapping
      encode(out, 0x69);
      encode(out, 0x307);
    } else if (c == 0x3A3) {
      encode(out, final_sigma(cps, i) ? 0x3C2 : 0x3C3);
    } else {
      encode(out, char32_t(utf8proc_tolower(utf8proc_int32_t(c))));
    }
  }
  return out;
}

bool contains_control_or_format_char(std::string_view text) {
  for (char32_t c : decode(text)) {
    if (is_control_or_format(c)) return true;
  }
  return false;
}

Result<std::string, UsernameError> normalize_username(std::string_view input) {
  BRENVIK_TRY(std::string lower, full_lowercase(input));
  std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> nfc(
      utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(lower.c_str())), &std::free);
  // utf8proc reads up to the first NUL: a NUL is a control character anyway,
  // so such input is refused below from the lowercased text itself.
  if (!nfc) return Err(UsernameError{UsernameError::Kind::InvalidUtf8});
  std::string norm(reinterpret_cast<const char*>(nfc.get()));
  if (lower.find('\0') != std::string::npos) norm = lower;
  bool blank = true;
  for (char32_t c : decode(norm)) blank = blank && is_white_space(c);
  if (blank) return Err(UsernameError{UsernameError::Kind::Empty});
  if (norm.size() > kMaxUsernameBytes) {
    return Err(UsernameError{UsernameError::Kind::TooLong, norm.size(), kMaxUsernameBytes});
  }
  if (contains_control_or_format_char(norm)) {
    return Err(UsernameError{UsernameError::Kind::ControlOrFormat});
  }
  if (address_shaped(norm)) return Err(UsernameError{UsernameError::Kind::AddressShaped});
  return norm;
}

}  // namespace brenvik
