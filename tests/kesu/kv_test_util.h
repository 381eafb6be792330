// Helpers shared by the key/value store and sorted-table tests.
#pragma once

#include <xxhash.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kesu/kv_store/shared_bytes.h"
#include "util/bytes.h"

namespace kesu::kvtest {

inline ByteView bv(std::string_view s) {
  return brenvik::as_bytes(s);
}
inline SharedBytes sb(std::string_view s) {
  return SharedBytes::copy_of(s);
}
// prefix followed by n in decimal.
inline std::string numkey(std::string_view prefix, long n) {
  char buf[24];
  const int len = std::snprintf(buf, sizeof buf, "%ld", n);
  std::string s;
  s.reserve(prefix.size() + size_t(len));
  s.append(prefix);
  s.append(buf, size_t(len));
  return s;
}
inline std::string str(const SharedBytes& b) {
  return std::string(b.as_chars());
}
inline std::string str(ByteView b) {
  return std::string(brenvik::as_chars(b));
}

// Independent xxHash32 with the table seed ("KESU" as a little-endian u32).
inline uint32_t xxh32_kesu(ByteView b) {
  return XXH32(b.data(), b.size(), 0x5553454Bu);
}

// Hand-assembles a table file, so that tests can craft files the writer would
// never produce (bad offsets, flags, orders) with correct checksums.
struct RawMeta {
  uint32_t offset;
  std::string first_key;
  uint8_t flags;                        // bit 7 large, bits 0-6 compression
  std::optional<std::string> last_key;  // written when set
};

inline Bytes assemble_table(const Bytes& blocks_section, const std::vector<RawMeta>& metas,
                            std::optional<uint32_t> count_override = std::nullopt) {
  Bytes out = {'K', 'E', 'S', 'U', 0};
  brenvik::append(out, blocks_section);
  const uint32_t m = uint32_t(out.size());
  brenvik::put_u32_le(out, count_override.value_or(uint32_t(metas.size())));
  const size_t metas_start = out.size();
  for (const RawMeta& rm : metas) {
    brenvik::put_u32_le(out, rm.offset);
    brenvik::put_u16_le(out, uint16_t(rm.first_key.size()));
    brenvik::append(out, brenvik::as_bytes(rm.first_key));
    out.push_back(rm.flags);
    if (rm.last_key) {
      brenvik::put_u16_le(out, uint16_t(rm.last_key->size()));
      brenvik::append(out, brenvik::as_bytes(*rm.last_key));
    }
  }
  brenvik::put_u32_le(out, xxh32_kesu(ByteView(out).subspan(metas_start)));
  brenvik::put_u32_le(out, m);
  return out;
}

// A stored block: payload followed by its checksum.
inline Bytes with_checksum(const Bytes& payload) {
  Bytes out = payload;
  brenvik::put_u32_le(out, xxh32_kesu(payload));
  return out;
}

// Plain form of a normal block from (shared, suffix, value) entries; the
// first entry is given as its value only.
struct RawEntry {
  uint8_t shared;
  std::string suffix;
  std::string value;
};
inline Bytes plain_block(const std::string& first_value, const std::vector<RawEntry>& rest) {
  Bytes entries(first_value.begin(), first_value.end());
  std::vector<uint16_t> offs = {0};
  for (const RawEntry& e : rest) {
    offs.push_back(uint16_t(entries.size()));
    entries.push_back(e.shared);
    brenvik::put_u16_le(entries, uint16_t(e.suffix.size()));
    brenvik::append(entries, brenvik::as_bytes(e.suffix));
    brenvik::append(entries, brenvik::as_bytes(e.value));
  }
  for (uint16_t o : offs) brenvik::put_u16_le(entries, o);
  brenvik::put_u16_le(entries, uint16_t(offs.size()));
  return entries;
}

// Random keys over a small alphabet so that prefixes are shared often.
inline std::string random_key(std::mt19937_64& rng, size_t max_len = 12) {
  std::uniform_int_distribution<size_t> len(1, max_len);
  std::uniform_int_distribution<int> ch(0, 3);
  std::string k(len(rng), 'a');
  for (char& c : k) c = char('a' + ch(rng));
  return k;
}

inline std::string random_value(std::mt19937_64& rng, size_t max_len = 40) {
  std::uniform_int_distribution<size_t> len(1, max_len);
  std::uniform_int_distribution<int> ch(0, 255);
  std::string v(len(rng), '\0');
  for (char& c : v) c = char(ch(rng));
  return v;
}

}  // namespace kesu::kvtest
