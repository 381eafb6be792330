// Byte forms of engine values:
//  - the compact form of a whole KesuValue (stored container values, state
//    snapshots): an enumeration 0 Null ... 8 Binary, little-endian doubles;
//  - the nested value encoding inside change blocks: a tag byte and payload,
//    big-endian doubles, signed LEB128 integers, map keys as key-arena
//    indices and container values carrying only their type;
//  - operation values: a value-kind byte kept in the block's columns and a
//    payload appended to the block's value bytes.
// Readers never recurse and never reserve memory from a count the input
// cannot back.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "kesu/columnar/column_set.h"
#include "kesu/columnar/varint.h"
#include "kesu/common/error.h"
#include "kesu/common/value.h"
#include "kesu/internal/encoding/arena.h"

namespace kesu {

// ---- compact form ----------------------------------------------------------

void encode_compact_value(const KesuValue& v, Bytes& out);
// Errors: CustomDeserialize (variant index above 8), BadBool, BadUtf8,
// UnexpectedEnd, BadVarint.
SerdeResult<KesuValue> decode_compact_value(ByteReader& r);

// ---- nested value encoding --------------------------------------------------

// Largest list or map count the nested readers accept.
constexpr uint64_t kMaxNestedCount = 268'435'456;

// Appends tag and payload, registering map keys in the key arena; returns
// the number of bytes appended.
size_t write_nested_value(const KesuValue& v, Bytes& out, KeyArena& keys);
// Reads one nested value carried by the operation (peer, counter): elements
// of a top-level list get counters counter+i (saturating at 2147483647), and
// every container value gets the identifier of its top-level element. Every
// fault is DecodeDataCorruptionError.
KesuResult<KesuValue> read_nested_value(ByteReader& r, const std::vector<InternalString>& keys,
                                        PeerID peer, Counter counter);

// ---- operation values -------------------------------------------------------

enum class ValueKind : uint8_t {
  Null = 0,
  True = 1,
  False = 2,
  I64 = 3,
  F64 = 4,
  Str = 5,
  Binary = 6,
  ContainerIdx = 7,
  MapDelete = 8,
  SeqDelete = 9,
  I32 = 10,
  NestedValue = 11,
  StyleStart = 12,
  TreeMoveByIndex = 13,
  ElemMove = 14,
  ElemSet = 15,
  TreeMove = 16,
  Future = 17,  // any kind above 16; the code is kept in OpValue::future_kind
};

// The value of one operation. Which fields are meaningful depends on `kind`;
// `bytes` (Str, Binary, Future) is a view into the block's value bytes on
// reading and into the caller's buffer on writing.
struct OpValue {
  ValueKind kind = ValueKind::Null;
  int64_t i64 = 0;     // I64, I32
  double f64 = 0;      // F64
  ByteView bytes;      // Str, Binary, Future
  uint64_t index = 0;  // ContainerIdx
  KesuValue value;     // NestedValue, StyleStart, ElemSet
  // StyleStart
  uint8_t info = 0;
  uint32_t len = 0;
  InternalString key;
  // TreeMoveByIndex: target, position, parent (absent: root)
  uint64_t target = 0;
  uint64_t position = 0;
  std::optional<uint64_t> parent_index;
  // ElemMove (from, elem peer index, lamport) and ElemSet (peer index, lamport)
  uint32_t from = 0;
  uint64_t peer_idx = 0;
  Lamport lamport = 0;
  // TreeMove: subject (peer index, counter), position index, parent (absent: root)
  Counter subject_counter = 0;
  std::optional<std::pair<uint64_t, Counter>> parent;
  uint8_t future_kind = 0;  // Future: the low seven bits of the kind byte
};

// The kind named by a kind byte (its low seven bits; above 16 is Future).
ValueKind value_kind_from_byte(uint8_t b);

// Appends the payload and returns the kind byte to store in the block's
// value-kind column (0x80 | k for Future(k)).
uint8_t write_op_value(const OpValue& v, Bytes& out, KeyArena& keys);
// Reads the payload of a kind byte. Peer-table and position indices and the
// numbers of ContainerIdx and TreeMoveByIndex are returned as read; the key
// of StyleStart is resolved in the key arena. Every fault is
// DecodeDataCorruptionError.
KesuResult<OpValue> read_op_value(uint8_t kind_byte, ByteReader& r,
                                  const std::vector<InternalString>& keys, PeerID peer,
                                  Counter counter);

// ---- element readers of state decoders ----------------------------------------

// LEB128 length, UTF-8 bytes, interned (up to 7 bytes inline).
SerdeResult<InternalString> read_interned_string(ByteReader& r);
// LEB128 count, then that many compact values.
SerdeResult<std::vector<KesuValue>> read_value_list(ByteReader& r);
// A byte string holding a LEB128 count and that many unsigned LEB128 values.
SerdeResult<std::vector<uint64_t>> read_plain_u64_column(ByteReader& r);
// A byte string decoded as a delta run-length column of T (each running sum
// must fit T). A column error is reported as the column readers do: one line
// on standard error, then CustomDeserialize with the error's text.
template <typename T>
SerdeResult<std::vector<T>> read_delta_column(ByteReader& r, size_t max_values) {
  auto b = r.read_bytes();
  if (!b.ok()) return Err(std::move(b).error());
  auto v = DeltaRleDecoder<T>(*b).decode_all(max_values);
  if (!v.ok()) return Err(column_deserialize_error(v.error()));
  return std::move(v).value();
}

}  // namespace kesu
