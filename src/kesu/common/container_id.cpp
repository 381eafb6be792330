// GCC 12 reports a false -Wrestrict on "literal" + std::string temporaries
// at -O2 and above (GCC PR 105329); the concatenations here are ordinary.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "kesu/common/container_id.h"

#include <zlib.h>

#include "kesu/columnar/varint.h"

namespace kesu {

ContainerType ContainerType::from_wire_code(uint8_t code) {
  switch (code) {
    case 0:
      return Kind::Map;
    case 1:
      return Kind::List;
    case 2:
      return Kind::Text;
    case 3:
      return Kind::Tree;
    case 4:
      return Kind::MovableList;
    case 5:
      return Kind::Counter;
    default:
      return unknown(code);
  }
}

ContainerType ContainerType::from_compact_code(uint8_t code) {
  if (code <= 5) return ContainerType(Kind(code));
  return unknown(code);
}

uint8_t ContainerType::wire_code() const {
  switch (kind_) {
    case Kind::Map:
      return 0;
    case Kind::List:
      return 1;
    case Kind::Text:
      return 2;
    case Kind::Tree:
      return 3;
    case Kind::MovableList:
      return 4;
    case Kind::Counter:
      return 5;
    case Kind::Unknown:
      return code_;
  }
  return code_;
}

uint8_t ContainerType::compact_code() const {
  return kind_ == Kind::Unknown ? code_ : uint8_t(kind_);
}

std::string ContainerType::name() const {
  switch (kind_) {
    case Kind::Text:
      return "Text";
    case Kind::Map:
      return "Map";
    case Kind::List:
      return "List";
    case Kind::MovableList:
      return "MovableList";
    case Kind::Tree:
      return "Tree";
    case Kind::Counter:
      return "Counter";
    case Kind::Unknown:
      return "Unknown(" + std::to_string(unsigned(code_)) + ")";
  }
  return "Unknown";
}

ContainerType ContainerID::container_type() const {
  if (auto* r = as_root()) return r->type;
  return as_normal()->type;
}

std::string ContainerID::to_string() const {
  if (auto* r = as_root())
    return "cid:root-" + std::string(r->name.as_str()) + ":" + r->type.name();
  auto* n = as_normal();
  return "cid:" + std::to_string(n->counter) + "@" + std::to_string(n->peer) + ":" + n->type.name();
}

std::string ContainerID::debug() const {
  if (auto* r = as_root())
    return "Root(\"" + std::string(r->name.as_str()) + "\" " + r->type.name() + ")";
  auto* n = as_normal();
  return "Normal(" + n->type.name() + " " + std::to_string(n->counter) + "@" +
         std::to_string(n->peer) + ")";
}

Bytes ContainerID::to_bytes() const {
  Bytes out;
  if (auto* r = as_root()) {
    out.push_back(uint8_t(0x80 | r->type.wire_code()));
    write_str(out, r->name.as_str());
    return out;
  }
  auto* n = as_normal();
  out.reserve(13);
  out.push_back(n->type.wire_code());
  brenvik::put_u64_le(out, n->peer);
  brenvik::put_u32_le(out, uint32_t(n->counter));
  return out;
}

brenvik::Result<ContainerID, std::string> ContainerID::from_bytes(ByteView b) {
  const std::string kFailed = "Decode container id failed";
  if (b.empty()) return brenvik::Err(kFailed);
  ContainerType t = ContainerType::from_wire_code(b[0] & 0x7F);
  if (b[0] & 0x80) {
    ByteReader r(b.subspan(1));
    auto len = r.read_uvarint();
    if (!len.ok() || *len != r.remaining()) return brenvik::Err(kFailed);
    std::string_view name = brenvik::as_chars(r.rest());
    if (!is_valid_utf8(name)) return brenvik::Err(kFailed);
    return root(name, t);
  }
  if (b.size() != 13) return brenvik::Err(kFailed);
  return normal(brenvik::load_u64_le(b.data() + 1), Counter(brenvik::load_u32_le(b.data() + 9)), t);
}

bool ContainerID::is_valid_root_name(std::string_view name) {
  if (name.empty()) return false;
  if (name.find('/') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  return name.substr(0, kMergeablePrefix.size()) != kMergeablePrefix;
}

namespace {

constexpr std::string_view kDigits = "0123456789abcdefghijklmnopqrstuvwxyz";

std::string base36(uint64_t v) {
  if (v == 0) return "0";
  std::string s;
  while (v > 0) {
    s.insert(s.begin(), kDigits[v % 36]);
    v /= 36;
  }
  return s;
}

std::string escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '>':
        out += "\\>";
        break;
      case '/':
        out += "\\s";
        break;
      case '\0':
        out += "\\0";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Reverses escape(); the input has been checked to hold only valid escapes.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out += n == 's' ? '/' : (n == '0' ? '\0' : n);
    } else {
      out += s[i];
    }
  }
  return out;
}

// Position of the first (or last) '>' not preceded by an escaping backslash.
size_t find_unescaped_gt(std::string_view s, bool last) {
  size_t found = std::string_view::npos;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
      continue;
    }
    if (s[i] == '>') {
      found = i;
      if (!last) return i;
    }
  }
  return found;
}

// Checks that every backslash escapes one of `allowed`, and that there is no
// NUL and no '/'.
bool escapes_ok(std::string_view s, std::string_view allowed) {
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\0' || c == '/') return false;
    if (c == '\\') {
      if (i + 1 >= s.size() || allowed.find(s[i + 1]) == std::string_view::npos) return false;
      ++i;
    }
  }
  return true;
}

std::optional<uint64_t> parse_base36(std::string_view s, bool allow_zero_only_single) {
  if (s.empty()) return std::nullopt;
  if (s.size() > 1 && s[0] == '0') return std::nullopt;
  (void)allow_zero_only_single;
  uint64_t v = 0;
  for (char c : s) {
    size_t d = kDigits.find(c);
    if (d == std::string_view::npos) return std::nullopt;
    if (v > (UINT64_MAX - d) / 36) return std::nullopt;
    v = v * 36 + d;
  }
  return v;
}

// "@" peer ":" counter (without the "@").
std::optional<ID> parse_normal_part(std::string_view s) {
  size_t colon = s.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto peer = parse_base36(s.substr(0, colon), true);
  if (!peer) return std::nullopt;
  std::string_view c = s.substr(colon + 1);
  bool neg = !c.empty() && c[0] == '-';
  if (neg) c.remove_prefix(1);
  auto mag = parse_base36(c, true);
  if (!mag) return std::nullopt;
  if (neg) {
    if (*mag < 1 || *mag > (uint64_t(1) << 31)) return std::nullopt;
    return ID{*peer, Counter(-int64_t(*mag))};
  }
  if (*mag >= (uint64_t(1) << 31)) return std::nullopt;
  return ID{*peer, Counter(*mag)};
}

bool starts_with_prefix(std::string_view s) {
  return s.substr(0, kMergeablePrefix.size()) == kMergeablePrefix;
}

}  // namespace

ContainerID ContainerID::new_mergeable_child_id(const ContainerID& parent, std::string_view key,
                                                ContainerType t) {
  if (!(parent.container_type() == ContainerType::Kind::Map))
    throw InternalError("mergeable child parent must be a map");
  std::string name(kMergeablePrefix);
  if (auto* n = parent.as_normal()) {
    name += "@" + base36(n->peer) + ":";
    if (n->counter < 0)
      name += "-" + base36(uint64_t(-int64_t(n->counter)));
    else
      name += base36(uint64_t(n->counter));
  } else if (parent.is_mergeable_child()) {
    name += parent.as_root()->name.as_str().substr(kMergeablePrefix.size());
  } else {
    name += "$" + escape(parent.as_root()->name.as_str());
  }
  name += ">" + escape(key);
  return root(InternalString::intern(name), t);
}

bool ContainerID::is_mergeable_child() const {
  auto* r = as_root();
  if (!r) return false;
  std::string_view name = r->name.as_str();
  if (name.size() < kMergeablePrefix.size() || !starts_with_prefix(name)) return false;
  std::string_view rest = name.substr(kMergeablePrefix.size());
  size_t gt = find_unescaped_gt(rest, false);
  if (gt == std::string_view::npos || gt == 0) return false;
  std::string_view parent = rest.substr(0, gt), tail = rest.substr(gt + 1);
  if (parent[0] == '@') {
    if (!parse_normal_part(parent.substr(1))) return false;
  } else if (parent[0] == '$') {
    std::string_view pname = parent.substr(1);
    if (pname.empty() || starts_with_prefix(pname)) return false;
    if (!escapes_ok(pname, ">\\")) return false;
  } else {
    return false;
  }
  return escapes_ok(tail, ">\\s0");
}

std::optional<std::pair<ContainerID, std::string>> ContainerID::parse_mergeable_child() const {
  if (!is_mergeable_child()) return std::nullopt;
  std::string_view rest = as_root()->name.as_str().substr(kMergeablePrefix.size());
  size_t gt = find_unescaped_gt(rest, true);
  std::string key = unescape(rest.substr(gt + 1));
  std::string_view before = rest.substr(0, gt);
  if (find_unescaped_gt(before, false) != std::string_view::npos) {
    std::string pname(kMergeablePrefix);
    pname += before;
    return std::make_pair(root(InternalString::intern(pname), ContainerType::Kind::Map), key);
  }
  std::string p = unescape(before);
  if (!p.empty() && p[0] == '@') {
    auto id = parse_normal_part(std::string_view(p).substr(1));
    if (!id) return std::nullopt;
    return std::make_pair(normal(*id, ContainerType::Kind::Map), key);
  }
  if (!p.empty() && p[0] == '$') {
    std::string_view pname = std::string_view(p).substr(1);
    if (pname.empty() || starts_with_prefix(pname) || pname.find('\0') != std::string_view::npos ||
        pname.find('/') != std::string_view::npos)
      return std::nullopt;
    return std::make_pair(root(pname, ContainerType::Kind::Map), key);
  }
  return std::nullopt;
}

uint32_t mergeable_marker_check(const ContainerID& parent, std::string_view key,
                                ContainerType child) {
  static constexpr std::string_view kLabel = "kesu.mergeable.marker.v1";
  Bytes buf(kLabel.begin(), kLabel.end());
  Bytes p = parent.to_bytes();
  write_bytes(buf, p);
  write_str(buf, key);
  buf.push_back(child.wire_code());
  uLong crc = crc32(0L, Z_NULL, 0);
  crc = crc32(crc, buf.data(), uInt(buf.size()));
  return uint32_t(crc) & 0xFFFFFF;
}

Bytes mergeable_marker(const ContainerID& parent, std::string_view key, ContainerType child) {
  uint32_t check = mergeable_marker_check(parent, key, child);
  return Bytes{
      0x00,          0x4B, 0x4D, 0x01, child.wire_code(), uint8_t(check >> 16), uint8_t(check >> 8),
      uint8_t(check)};
}

std::optional<ContainerType> parse_mergeable_marker(const ContainerID& parent, std::string_view key,
                                                    ByteView b) {
  if (b.size() != 8 || b[0] != 0x00 || b[1] != 0x4B || b[2] != 0x4D || b[3] != 0x01 || b[4] > 5)
    return std::nullopt;
  ContainerType t = ContainerType::from_wire_code(b[4]);
  uint32_t check = mergeable_marker_check(parent, key, t);
  if (b[5] != uint8_t(check >> 16) || b[6] != uint8_t(check >> 8) || b[7] != uint8_t(check))
    return std::nullopt;
  return t;
}

}  // namespace kesu

size_t std::hash<kesu::ContainerID>::operator()(const kesu::ContainerID& id) const {
  size_t h = std::hash<kesu::ContainerType>()(id.container_type());
  if (auto* r = id.as_root()) return kesu::hash_mix(h, std::hash<kesu::InternalString>()(r->name));
  auto* n = id.as_normal();
  return kesu::hash_mix(kesu::hash_mix(h, n->peer), uint32_t(n->counter));
}
