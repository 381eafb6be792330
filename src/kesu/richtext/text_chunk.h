// TextChunk: one run of UTF-8 text of the rich-text state, held as a slice of
// a shared byte buffer together with the identifier of its first character and
// its lengths in code points and UTF-16 units.
//
// Character k of a run has counter id.counter + k and Lamport id.lamport + k,
// so a run that continues another (same buffer, contiguous bytes, continuing
// identifiers) is joined into it instead of taking a leaf of its own.
#pragma once

#include <cstdint>
#include <utility>

#include "kesu/common/bytes_slice.h"
#include "kesu/common/error.h"
#include "kesu/common/id.h"

namespace kesu {

// Number of UTF-8 bytes of a code point starting with `lead` (valid UTF-8 only).
inline size_t utf8_char_len(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

struct TextChunk {
  BytesSlice text;
  IdFull id;
  uint32_t unicode_len = 0;
  uint32_t utf16_len = 0;

  // Counts the code points and UTF-16 units of `text`. Bytes that are not
  // UTF-8 are refused with ArgErr; nothing of the state changes.
  static KesuResult<TextChunk> make(BytesSlice text, IdFull id);
  // Same, for bytes the engine produced itself: invalid UTF-8 is a broken
  // invariant (InvariantViolation).
  static TextChunk make_trusted(BytesSlice text, IdFull id);
  // An empty run of a fresh buffer (peer all ones, counter and Lamport 0).
  static TextChunk empty_run();

  size_t byte_len() const { return text.size(); }
  bool is_ascii() const { return text.size() == unicode_len; }

  // Byte offset -> (on a code-point boundary, code points before it). An
  // offset inside a character gives the index of that character; past the
  // end, the total.
  std::pair<bool, uint32_t> unicode_offset_of_byte(size_t b) const;
  // UTF-16 offset -> (on a code-point boundary, code points before it).
  std::pair<bool, uint32_t> unicode_offset_of_utf16(size_t u) const;
  // Bytes and UTF-16 units taken by the first k characters (k <= unicode_len).
  size_t bytes_of_prefix(size_t k) const;
  size_t utf16_of_prefix(size_t k) const;

  // Characters [start, end) as a run of the same buffer; start < end <= unicode_len.
  TextChunk slice(size_t start, size_t end) const;
  // Keeps [0, k) and returns [k, unicode_len) (0 < k < unicode_len).
  TextChunk split(size_t k);

  // True when `next` may be joined onto the end of this run: same buffer,
  // contiguous bytes, same peer, counter and Lamport continuing this run.
  bool can_append(const TextChunk& next) const;
  // Joins `left` in front of this run; the bytes must be contiguous in one
  // buffer (InvariantViolation otherwise). Identifier continuity is the
  // caller's rule.
  void prepend(const TextChunk& left);
  // Joins `next` onto the end (requires can_append).
  void append(const TextChunk& next);

  std::string_view as_str() const {
    auto b = text.bytes();
    return {reinterpret_cast<const char*>(b.data()), b.size()};
  }
};

}  // namespace kesu
