// Byte containers and views shared by every layer.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brenvik {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_chars(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}
inline Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string to_string(ByteView b) { return std::string(as_chars(b)); }

inline void append(Bytes& out, ByteView b) { out.insert(out.end(), b.begin(), b.end()); }

// Fixed-width integer stores and loads. Wire formats choose their byte order
// explicitly; nothing here depends on the host's.
inline void put_u16_be(Bytes& o, uint16_t v) { o.push_back(uint8_t(v >> 8)); o.push_back(uint8_t(v)); }
inline void put_u32_be(Bytes& o, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) o.push_back(uint8_t(v >> s));
}
inline void put_u64_be(Bytes& o, uint64_t v) {
  for (int s = 56; s >= 0; s -= 8) o.push_back(uint8_t(v >> s));
}
inline void put_u16_le(Bytes& o, uint16_t v) { o.push_back(uint8_t(v)); o.push_back(uint8_t(v >> 8)); }
inline void put_u32_le(Bytes& o, uint32_t v) {
  for (int s = 0; s < 32; s += 8) o.push_back(uint8_t(v >> s));
}
inline void put_u64_le(Bytes& o, uint64_t v) {
  for (int s = 0; s < 64; s += 8) o.push_back(uint8_t(v >> s));
}
// Loads require at least N readable bytes at p.
inline uint16_t load_u16_be(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t load_u32_be(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t load_u64_be(const uint8_t* p) {
  return uint64_t(load_u32_be(p)) << 32 | load_u32_be(p + 4);
}
inline uint16_t load_u16_le(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load_u32_le(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t load_u64_le(const uint8_t* p) {
  return uint64_t(load_u32_le(p)) | uint64_t(load_u32_le(p + 4)) << 32;
}

}  // namespace brenvik
