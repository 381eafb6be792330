#include "kesu/delta/richtext_item.h"

#include "kesu/arena/invariant.h"
#include "util/utf8.h"

namespace kesu {

TextChunk TextChunk::make(BytesSlice bytes, PeerID peer, Counter counter, Lamport lamport) {
  auto b = bytes.bytes();
  std::string_view s(reinterpret_cast<const char*>(b.data()), b.size());
  if (!brenvik::is_valid_utf8(s)) invariant_failed(kMsgUnwrapErr);
  TextChunk c;
  c.bytes = std::move(bytes);
  c.peer = peer;
  c.counter = counter;
  c.lamport = lamport;
  for (unsigned char ch : s) {
    if ((ch & 0xC0) == 0x80) continue;
    c.unicode_len += 1;
    c.utf16_len += ch >= 0xF0 ? 2 : 1;
  }
  return c;
}

bool TextChunk::can_join(const TextChunk& next) const {
  return bytes.can_merge(next.bytes) && peer == next.peer &&
         int64_t(counter) + unicode_len == int64_t(next.counter) &&
         uint64_t(lamport) + unicode_len == uint64_t(next.lamport);
}

void TextChunk::join_right(const TextChunk& next) {
  if (!bytes.can_merge(next.bytes)) invariant_failed(kMsgUnwrapErr);
  bytes.merge(next.bytes);
  unicode_len += next.unicode_len;
  utf16_len += next.utf16_len;
}

void TextChunk::join_left(const TextChunk& prev) {
  if (!prev.bytes.can_merge(bytes)) invariant_failed(kMsgUnwrapErr);
  BytesSlice b = prev.bytes;
  b.merge(bytes);
  bytes = std::move(b);
  peer = prev.peer;
  counter = prev.counter;
  lamport = prev.lamport;
  unicode_len += prev.unicode_len;
  utf16_len += prev.utf16_len;
}

TextChunk TextChunk::split_off(size_t k) {
  auto b = bytes.bytes();
  size_t off = 0;
  uint32_t u16 = 0;
  for (size_t i = 0; i < k; ++i) {
    if (off >= b.size()) invariant_failed(kMsgUnwrapNone);
    uint8_t c = b[off];
    size_t w = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    u16 += w == 4 ? 2 : 1;
    off += w;
  }
  TextChunk tail;
  tail.bytes = bytes.slice(off, bytes.size());
  tail.peer = peer;
  tail.counter = Counter(int64_t(counter) + int64_t(k));
  tail.lamport = Lamport(lamport + k);
  tail.unicode_len = uint32_t(unicode_len - k);
  tail.utf16_len = utf16_len - u16;
  bytes = bytes.slice(0, off);
  unicode_len = uint32_t(k);
  utf16_len = u16;
  return tail;
}

std::string TextChunk::debug() const {
  auto b = bytes.bytes();
  std::string text(reinterpret_cast<const char*>(b.data()), b.size());
  return "TextChunk { text: \"" + text + "\", start: " + std::to_string(bytes.start()) +
         ", end: " + std::to_string(bytes.end()) + ", peer: " + std::to_string(peer) +
         ", counter: " + std::to_string(counter) + ", lamport: " + std::to_string(lamport) +
         ", unicode_len: " + std::to_string(unicode_len) +
         ", utf16_len: " + std::to_string(utf16_len) + " }";
}

bool RichtextItem::operator==(const RichtextItem& o) const {
  if (is_text() != o.is_text()) return false;
  if (!is_text()) {
    return as_style().style == o.as_style().style &&
           as_style().anchor_type == o.as_style().anchor_type;
  }
  const TextChunk& a = as_text();
  const TextChunk& c = o.as_text();
  auto ab = a.bytes.bytes();
  auto cb = c.bytes.bytes();
  return a.peer == c.peer && a.counter == c.counter && a.lamport == c.lamport &&
         a.unicode_len == c.unicode_len && a.utf16_len == c.utf16_len &&
         std::equal(ab.begin(), ab.end(), cb.begin(), cb.end());
}

std::string RichtextItem::debug() const {
  if (is_text()) return "Text(" + as_text().debug() + ")";
  return std::string("Style { style: ..") +
         ", anchor_type: " + (as_style().anchor_type == AnchorType::Start ? "Start" : "End") + " }";
}

void RichtextRawDeltaOps::join_right(Value& l, Value&& r) {
  if (!l.is_text() || !r.is_text()) invariant_failed(kMsgUnreachable);
  l.as_text_mut().join_right(r.as_text());
}

void RichtextRawDeltaOps::join_left(Value& r, Value&& l) {
  if (!l.is_text() || !r.is_text()) invariant_failed(kMsgUnreachable);
  r.as_text_mut().join_left(l.as_text());
}

RichtextRawDeltaOps::Value RichtextRawDeltaOps::split_value(Value& v, size_t k) {
  if (!v.is_text()) invariant_failed(kMsgUnreachable);
  return RichtextItem(v.as_text_mut().split_off(k));
}

}  // namespace kesu
