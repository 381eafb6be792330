#include "kesu/richtext/text_chunk.h"

#include "kesu/arena/invariant.h"
#include "util/utf8.h"

namespace kesu {

namespace {

void count(brenvik::ByteView b, uint32_t& cps, uint32_t& u16) {
  cps = 0;
  u16 = 0;
  for (size_t i = 0; i < b.size();) {
    size_t n = utf8_char_len(b[i]);
    ++cps;
    u16 += n == 4 ? 2 : 1;
    i += n;
  }
}

IdFull advance(IdFull id, size_t k) {
  id.counter = Counter(int64_t(id.counter) + int64_t(k));
  id.lamport = Lamport(id.lamport + k);
  return id;
}

}  // namespace

KesuResult<TextChunk> TextChunk::make(BytesSlice text, IdFull id) {
  auto v = brenvik::validate_utf8(text.bytes());
  if (!v.ok()) {
    return brenvik::Err(KesuError::with_text(KesuErrorKind::ArgErr,
                                             "text is not valid UTF-8: " + v.error().message()));
  }
  TextChunk c;
  c.text = std::move(text);
  c.id = id;
  count(c.text.bytes(), c.unicode_len, c.utf16_len);
  return c;
}

TextChunk TextChunk::make_trusted(BytesSlice text, IdFull id) {
  auto r = make(std::move(text), id);
  if (!r.ok()) invariant_failed(r.error().message());
  return std::move(r).value();
}

TextChunk TextChunk::empty_run() {
  TextChunk c;
  c.id = IdFull{kPeerIdMax, 0, 0};
  return c;
}

std::pair<bool, uint32_t> TextChunk::unicode_offset_of_byte(size_t b) const {
  if (text.size() == unicode_len) return {true, uint32_t(b)};
  if (b == 0) return {true, 0};
  auto bytes = text.bytes();
  if (bytes.empty()) return {false, 0};
  if (b >= bytes.size()) return {b == bytes.size(), unicode_len};
  // Characters before b are the lead bytes before it. Counting them has no
  // branch per character, unlike stepping from lead to lead.
  uint32_t leads = 0;
  for (size_t i = 0; i < b; ++i) leads += (bytes[i] & 0xC0) != 0x80;
  if ((bytes[b] & 0xC0) != 0x80) return {true, leads};
  return {false, leads - 1};  // b lies inside the character whose lead was counted last
}

std::pair<bool, uint32_t> TextChunk::unicode_offset_of_utf16(size_t u) const {
  if (unicode_len == utf16_len) return {true, uint32_t(u)};
  if (u == 0) return {true, 0};
  auto bytes = text.bytes();
  if (bytes.empty()) return {false, 0};
  size_t t = 0;
  uint32_t n = 0;
  for (size_t i = 0; i < bytes.size();) {
    size_t len = utf8_char_len(bytes[i]);
    t += len == 4 ? 2 : 1;
    i += len;
    if (t == u) return {true, n + 1};
    if (t > u) return {false, n};
    ++n;
  }
  return {false, n};
}

size_t TextChunk::bytes_of_prefix(size_t k) const {
  if (is_ascii() || k >= unicode_len) return k >= unicode_len ? text.size() : k;
  auto b = text.bytes();
  size_t i = 0;
  for (size_t c = 0; c < k; ++c) i += utf8_char_len(b[i]);
  return i;
}

size_t TextChunk::utf16_of_prefix(size_t k) const {
  if (unicode_len == utf16_len || k >= unicode_len) return k >= unicode_len ? utf16_len : k;
  auto b = text.bytes();
  size_t i = 0, u = 0;
  for (size_t c = 0; c < k; ++c) {
    size_t n = utf8_char_len(b[i]);
    u += n == 4 ? 2 : 1;
    i += n;
  }
  return u;
}

TextChunk TextChunk::slice(size_t start, size_t end) const {
  if (!(start < end)) invariant_failed("assertion failed: range.start < range.end");
  if (end > unicode_len) invariant_failed("assertion failed: end <= max_len");
  size_t bs = bytes_of_prefix(start), be = bytes_of_prefix(end);
  TextChunk c;
  c.text = text.slice(bs, be);
  c.id = advance(id, start);
  c.unicode_len = uint32_t(end - start);
  c.utf16_len = uint32_t(utf16_of_prefix(end) - utf16_of_prefix(start));
  return c;
}

TextChunk TextChunk::split(size_t k) {
  if (k == 0 || k >= unicode_len) invariant_failed(kMsgUnreachable);
  TextChunk right = slice(k, unicode_len);
  size_t bk = bytes_of_prefix(k);
  text = text.slice(0, bk);
  utf16_len -= right.utf16_len;
  unicode_len = uint32_t(k);
  return right;
}

bool TextChunk::can_append(const TextChunk& next) const {
  return text.can_merge(next.text) && id.peer == next.id.peer &&
         int64_t(id.counter) + unicode_len == int64_t(next.id.counter) &&
         uint64_t(id.lamport) + unicode_len == uint64_t(next.id.lamport);
}

void TextChunk::prepend(const TextChunk& left) {
  if (!left.text.can_merge(text)) invariant_failed(kMsgUnreachable);
  BytesSlice joined = left.text;
  joined.merge(text);
  text = std::move(joined);
  unicode_len += left.unicode_len;
  utf16_len += left.utf16_len;
  id = left.id;
}

void TextChunk::append(const TextChunk& next) {
  if (!text.can_merge(next.text)) invariant_failed(kMsgUnreachable);
  text.merge(next.text);
  unicode_len += next.unicode_len;
  utf16_len += next.utf16_len;
}

}  // namespace kesu
