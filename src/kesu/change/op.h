// Op: one operation of a change, and the contents an operation can carry.
//
// An op covers `atom_len()` consecutive counters starting at `counter`: a
// list insertion one per value, a text insertion one per Unicode scalar
// value, a deletion one per deleted element, every other content one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kesu/common/bytes_slice.h"
#include "kesu/common/id.h"
#include "kesu/common/internal_string.h"
#include "kesu/common/value.h"
#include "kesu/internal/encoding/value.h"
#include "kesu/shared_arena/container_idx.h"

namespace kesu {

class SharedArena;

// Values [start, end) of the arena's value list inserted at `pos`.
struct ListInsertOp {
  uint32_t start = 0;
  uint32_t end = 0;
  uint32_t pos = 0;
  bool operator==(const ListInsertOp&) const = default;
};

// Text held in the arena's text bytes, inserted at `pos` (in Unicode scalar
// values); `unicode_start` is its place in the arena's running count.
struct TextInsertOp {
  BytesSlice slice;
  uint32_t unicode_start = 0;
  uint32_t unicode_len = 0;
  uint32_t pos = 0;
  bool operator==(const TextInsertOp& o) const {
    return unicode_len == o.unicode_len && pos == o.pos &&
           std::ranges::equal(slice.bytes(), o.slice.bytes());
  }
};

// |signed_len| elements deleted from `pos`: forward (positive) deletes pos,
// pos, ...; backward (negative) deletes pos, pos-1, .... `id_start` is the
// lowest id of the deleted elements' run.
struct DeleteOp {
  ID id_start;
  int64_t pos = 0;
  int64_t signed_len = 0;
  bool operator==(const DeleteOp&) const = default;
};

struct ListMoveOp {
  uint32_t from = 0;
  IdLp elem_id;
  uint32_t to = 0;
  bool operator==(const ListMoveOp&) const = default;
};

struct ListSetOp {
  IdLp elem_id;
  KesuValue value;
  bool operator==(const ListSetOp&) const = default;
};

struct StyleStartOp {
  uint32_t start = 0;
  uint32_t end = 0;
  InternalString key;
  KesuValue value;
  uint8_t info = 0;
  bool operator==(const StyleStartOp&) const = default;
};

struct StyleEndOp {
  bool operator==(const StyleEndOp&) const = default;
};

// A map write; no value is a deletion.
struct MapSetOp {
  InternalString key;
  std::optional<KesuValue> value;
  bool operator==(const MapSetOp&) const = default;
};

struct TreeOp {
  enum class Kind : uint8_t { Create, Move, Delete };
  Kind kind = Kind::Create;
  TreeID target;
  std::optional<TreeID> parent;  // none: the root (Create, Move)
  Bytes position;                // fractional index (Create, Move)
  bool operator==(const TreeOp&) const = default;
};

struct CounterOp {
  double delta = 0;
  bool operator==(const CounterOp& o) const {
    return delta == o.delta || (delta != delta && o.delta != o.delta);
  }
};

// An op of a container kind this version does not know: its prop and value
// kept so that it can be written back. Held behind a shared handle: it is
// rare and large, and every op would otherwise carry its size. Peer indices of the value are
// resolved into `peers` on reading (so that the value survives re-encoding
// into another block); byte payloads are owned by `owned`.
struct UnknownOp {
  int32_t prop = 0;
  uint8_t kind_byte = 0;
  OpValue value;
  std::vector<PeerID> peers;  // peer of value.peer_idx, then of value.parent
  std::shared_ptr<const Bytes> owned;
  bool operator==(const UnknownOp& o) const;
};

using OpContent = std::variant<ListInsertOp, TextInsertOp, DeleteOp, ListMoveOp, ListSetOp,
                               StyleStartOp, StyleEndOp, MapSetOp, std::shared_ptr<const TreeOp>,
                               CounterOp, std::shared_ptr<const UnknownOp>>;

// Atom length of a content (see the file comment).
uint32_t content_atom_len(const OpContent& c);
// True for the contents of lists, movable lists and text.
bool is_list_family(const OpContent& c);
// Whether `b` continues `a` so that the two can be one content.
bool content_can_merge(const OpContent& a, const OpContent& b);
// Extends `a` by `b`; requires content_can_merge(a, b).
void content_merge(OpContent& a, const OpContent& b);
// Atoms [from, to) of the content; non-splittable contents allow only (0, 1).
OpContent content_slice(const OpContent& c, uint32_t from, uint32_t to);

struct Op {
  Counter counter = 0;
  ContainerIdx container;
  OpContent content;

  uint32_t atom_len() const { return content_atom_len(content); }
  // Atoms [from, to) as an op whose counter is advanced by `from`.
  Op slice(uint32_t from, uint32_t to) const;
  // The bytes this op adds to a block, as the block size rule counts them.
  size_t estimate_storage_size() const;
  // Tree contents compare by value, not by their shared handle.
  bool operator==(const Op& o) const;
};

// Appends `op` to a change's run of ops, merging it into the last op when it
// continues it (contiguous counters, same container, list-family contents
// that can merge). Returns true when merged.
bool push_op(std::vector<Op>& ops, Op op);

// Calls f(child) for each container the op creates: containers among
// inserted list values, a map or list set's container value, a created tree
// node's metadata map.
void visit_created_containers(const Op& op, const SharedArena& arena,
                              const std::function<void(const ContainerID&)>& f);

}  // namespace kesu
