// KesuValue: the engine's value. Strings, byte strings, lists and maps are
// reference-counted blocks shared by copies, so copying a value (or a whole
// document's deep value) never copies payload content; a value that changes
// a shared block first takes a private copy of it.
//
// Values decoded from peers can nest as deep as the input allows, so every
// walk over a value here (equality, hashing, release) uses an explicit stack
// rather than recursion.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "kesu/common/container_id.h"

namespace kesu {

class KesuValue;
struct KesuBinaryValue;
struct KesuStringValue;
struct KesuListValue;
struct KesuMapValue;

using KesuMap = std::unordered_map<std::string, KesuValue>;
using KesuList = std::vector<KesuValue>;

enum class ValueType : uint8_t { Null, Bool, Double, I64, Binary, String, List, Map, Container };

class KesuValue {
 public:
  KesuValue() = default;        // Null
  KesuValue(std::nullptr_t) {}  // NOLINT
  KesuValue(bool b) : v_(b) {}  // NOLINT
  // A text literal would otherwise silently become Bool; use string().
  KesuValue(const char*) = delete;
  KesuValue(double d) : v_(d) {}                    // NOLINT
  KesuValue(int64_t i) : v_(i) {}                   // NOLINT
  KesuValue(int i) : v_(int64_t(i)) {}              // NOLINT
  KesuValue(ContainerID id) : v_(std::move(id)) {}  // NOLINT
  // Takes over the vector.
  static KesuValue binary(Bytes b);
  static KesuValue string(std::string s);
  static KesuValue list(KesuList items);
  static KesuValue map(KesuMap entries);
  // Inserts in order; a later pair with a key already present replaces it.
  static KesuValue map_from_pairs(std::vector<std::pair<std::string, KesuValue>> pairs);

  ValueType type() const { return ValueType(v_.index()); }
  bool is_null() const { return type() == ValueType::Null; }

  // Accessors require the matching type.
  bool as_bool() const { return std::get<bool>(v_); }
  double as_double() const { return std::get<double>(v_); }
  int64_t as_i64() const { return std::get<int64_t>(v_); }
  const Bytes& as_binary() const;
  const std::string& as_string() const;
  const KesuList& as_list() const;
  const KesuMap& as_map() const;
  const ContainerID& as_container() const { return std::get<ContainerID>(v_); }

  // Mutable access to a shared payload: changed in place when this value
  // holds the only reference, otherwise copied into a new block first.
  KesuList& list_mut();
  KesuMap& map_mut();
  // Moves the content out when this value holds the only reference, copies
  // it otherwise; the value becomes Null.
  KesuList take_list();
  KesuMap take_map();
  std::string take_string();
  Bytes take_binary();

  // True when both hold the same shared block.
  bool same_block(const KesuValue& o) const;

  bool operator==(const KesuValue& o) const;
  // Variant name and payload, e.g. List(KesuListValue([I64(1)])).
  std::string debug() const;

 private:
  friend struct KesuListValue;
  friend struct KesuMapValue;
  using Variant =
      std::variant<std::monostate, bool, double, int64_t, std::shared_ptr<KesuBinaryValue>,
                   std::shared_ptr<KesuStringValue>, std::shared_ptr<KesuListValue>,
                   std::shared_ptr<KesuMapValue>, ContainerID>;
  Variant v_;
};

struct KesuBinaryValue {
  Bytes bytes;
};
struct KesuStringValue {
  std::string text;
};
// List and map blocks release their elements without recursion.
struct KesuListValue {
  KesuList items;
  ~KesuListValue();
  // Releases the values, taking apart the lists and maps whose last
  // reference they hold level by level; shared blocks only lose a reference.
  static void drain(std::vector<KesuValue>& pending);
};
struct KesuMapValue {
  KesuMap entries;
  ~KesuMapValue();
};

// Inline: the byte codecs call these once per value they walk.
inline const Bytes& KesuValue::as_binary() const {
  return std::get<std::shared_ptr<KesuBinaryValue>>(v_)->bytes;
}
inline const std::string& KesuValue::as_string() const {
  return std::get<std::shared_ptr<KesuStringValue>>(v_)->text;
}
inline const KesuList& KesuValue::as_list() const {
  return std::get<std::shared_ptr<KesuListValue>>(v_)->items;
}
inline const KesuMap& KesuValue::as_map() const {
  return std::get<std::shared_ptr<KesuMapValue>>(v_)->entries;
}

// Hash consistent with equality: NaNs hash alike, both zeros alike, map
// entries in sorted key order.
size_t hash_value(const KesuValue& v);

// The value an empty container of the type reads as; nullopt for Unknown.
std::optional<KesuValue> default_value(ContainerType t);

// A map entry's value, with a mergeable marker for (parent, key) turned into
// the Container value of the mergeable child; other values unchanged.
KesuValue resolve_mergeable_value(const ContainerID& parent, std::string_view key, KesuValue value);

// Appends the text as a JSON string literal: \" \\ \b \t \n \f \r, other
// bytes below 0x20 as \u00xx, every other byte (including '/', 0x7F and
// multi-byte UTF-8) unchanged.
void write_json_escaped_str(std::string& out, std::string_view s);

}  // namespace kesu

template <>
struct std::hash<kesu::KesuValue> {
  size_t operator()(const kesu::KesuValue& v) const { return kesu::hash_value(v); }
};
