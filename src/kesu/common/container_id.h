// Container types and container identifiers, with their text, debug and
// binary forms, the root-name rule and mergeable child containers (children
// of a map key whose identity follows from parent, key and type alone).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "kesu/common/id.h"
#include "kesu/common/internal_string.h"

namespace kesu {

// Two code tables exist and are never merged: the wire code (Map 0, List 1,
// Text 2, Tree 3, MovableList 4, Counter 5) of the binary id, change blocks
// and state records; and the declared order (Text 0 ... Counter 5) used only
// by the compact serialized forms.
class ContainerType {
 public:
  enum class Kind : uint8_t { Text, Map, List, MovableList, Tree, Counter, Unknown };

  constexpr ContainerType(Kind k = Kind::Map) : kind_(k), code_(0) {}  // NOLINT: implicit
  // An unknown type keeping the code it was read with.
  static constexpr ContainerType unknown(uint8_t code) {
    ContainerType t(Kind::Unknown);
    t.code_ = code;
    return t;
  }
  static ContainerType from_wire_code(uint8_t code);
  static ContainerType from_compact_code(uint8_t code);

  Kind kind() const { return kind_; }
  bool is_unknown() const { return kind_ == Kind::Unknown; }
  uint8_t unknown_code() const { return code_; }
  uint8_t wire_code() const;
  uint8_t compact_code() const;
  // "Text", "Map", ..., "Unknown(9)".
  std::string name() const;

  bool operator==(const ContainerType& o) const {
    return kind_ == o.kind_ && (kind_ != Kind::Unknown || code_ == o.code_);
  }

 private:
  Kind kind_;
  uint8_t code_;
};

// The 5-byte prefix of mergeable child names: U+1F91D then ':'.
inline constexpr std::string_view kMergeablePrefix = "\xF0\x9F\xA4\x9D:";

class ContainerID {
 public:
  struct Root {
    InternalString name;
    ContainerType type;
    bool operator==(const Root&) const = default;
  };
  struct Normal {
    PeerID peer;
    Counter counter;
    ContainerType type;
    bool operator==(const Normal&) const = default;
  };

  ContainerID() : v_(Root{InternalString(), ContainerType::Kind::Map}) {}
  static ContainerID root(std::string_view name, ContainerType t) {
    return ContainerID(Root{InternalString(name), t});
  }
  static ContainerID root(InternalString name, ContainerType t) {
    return ContainerID(Root{std::move(name), t});
  }
  static ContainerID normal(PeerID peer, Counter counter, ContainerType t) {
    return ContainerID(Normal{peer, counter, t});
  }
  static ContainerID normal(ID id, ContainerType t) { return normal(id.peer, id.counter, t); }

  bool is_root() const { return std::holds_alternative<Root>(v_); }
  bool is_normal() const { return std::holds_alternative<Normal>(v_); }
  const Root* as_root() const { return std::get_if<Root>(&v_); }
  const Normal* as_normal() const { return std::get_if<Normal>(&v_); }
  ContainerType container_type() const;

  // cid:root-NAME:Type or cid:COUNTER@PEER:Type.
  std::string to_string() const;
  // Root("NAME" Type) or Normal(Type COUNTER@PEER).
  std::string debug() const;

  // Normal: wire code, peer LE u64, counter LE i32 (13 bytes). Root: 0x80 |
  // wire code, LEB128 name length, UTF-8 name.
  Bytes to_bytes() const;
  // Every failure is "Decode container id failed".
  static brenvik::Result<ContainerID, std::string> from_bytes(ByteView b);

  // Non-empty, no '/', no NUL, not starting with the mergeable prefix.
  static bool is_valid_root_name(std::string_view name);

  // The mergeable child of `parent` (a Map; anything else throws
  // InternalError "mergeable child parent must be a map") at `key`.
  static ContainerID new_mergeable_child_id(const ContainerID& parent, std::string_view key,
                                            ContainerType t);
  bool is_mergeable_child() const;
  // The parent map and key of a mergeable child name, or nullopt.
  std::optional<std::pair<ContainerID, std::string>> parse_mergeable_child() const;

  bool operator==(const ContainerID&) const = default;

 private:
  explicit ContainerID(std::variant<Root, Normal> v) : v_(std::move(v)) {}
  std::variant<Root, Normal> v_;
};

// The 24-bit check value of a mergeable marker: low 24 bits of CRC-32 over
// "kesu.mergeable.marker.v1", LEB128 length + binary form of the parent,
// LEB128 length + key bytes, and the type's wire code.
uint32_t mergeable_marker_check(const ContainerID& parent, std::string_view key,
                                ContainerType child);
// The 8-byte marker stored in a map entry to stand for a mergeable child.
Bytes mergeable_marker(const ContainerID& parent, std::string_view key, ContainerType child);
// The child type named by a marker, or nullopt when the bytes are not a
// valid marker for (parent, key).
std::optional<ContainerType> parse_mergeable_marker(const ContainerID& parent, std::string_view key,
                                                    ByteView bytes);

}  // namespace kesu

template <>
struct std::hash<kesu::ContainerType> {
  size_t operator()(const kesu::ContainerType& t) const {
    return size_t(t.kind()) * 257 + (t.is_unknown() ? t.unknown_code() : 0);
  }
};
template <>
struct std::hash<kesu::ContainerID> {
  size_t operator()(const kesu::ContainerID& id) const;
};
