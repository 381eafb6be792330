#include "kesu/richtext/richtext_tree.h"

namespace kesu {

size_t RichtextStateChunk::len_in(PosType t) const {
  if (!is_text()) return t == PosType::Entity ? 1 : 0;
  const TextChunk& c = as_text();
  switch (t) {
    case PosType::Bytes:
      return c.byte_len();
    case PosType::Unicode:
    case PosType::Event:
    case PosType::Entity:
      return c.unicode_len;
    case PosType::Utf16:
      return c.utf16_len;
  }
  return 0;
}

size_t RichtextStateChunk::prefix_len(PosType t, size_t k) const {
  if (k == 0) return 0;
  if (!is_text()) return t == PosType::Entity ? k : 0;
  const TextChunk& c = as_text();
  switch (t) {
    case PosType::Bytes:
      return c.bytes_of_prefix(k);
    case PosType::Utf16:
      return c.utf16_of_prefix(k);
    case PosType::Unicode:
    case PosType::Event:
    case PosType::Entity:
      return k;
  }
  return 0;
}

PosCache prefix_cache(const RichtextStateChunk& e, size_t k) {
  if (k == 0) return {};
  if (!e.is_text()) return {0, 0, 0, int32_t(k)};
  const TextChunk& c = e.as_text();
  return {int32_t(k), int32_t(c.bytes_of_prefix(k)), int32_t(c.utf16_of_prefix(k)), int32_t(k)};
}

std::optional<size_t> RichtextStateChunk::offset_to_entity(PosType t, size_t off) const {
  if (!is_text()) {
    if (t == PosType::Entity) return off <= 1 ? std::optional<size_t>(off) : std::nullopt;
    return off == 0 ? std::optional<size_t>(0) : std::nullopt;
  }
  const TextChunk& c = as_text();
  switch (t) {
    case PosType::Unicode:
      return off <= c.unicode_len ? std::optional<size_t>(off) : std::nullopt;
    case PosType::Bytes: {
      if (off > c.byte_len()) return std::nullopt;
      auto [ok, k] = c.unicode_offset_of_byte(off);
      return ok ? std::optional<size_t>(k) : std::nullopt;
    }
    case PosType::Utf16: {
      if (off > c.utf16_len) return std::nullopt;
      auto [ok, k] = c.unicode_offset_of_utf16(off);
      return ok ? std::optional<size_t>(k) : std::nullopt;
    }
    case PosType::Event:
      return off < c.unicode_len ? std::optional<size_t>(off) : std::nullopt;
    case PosType::Entity:
      return off <= c.unicode_len ? std::optional<size_t>(off) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace kesu
