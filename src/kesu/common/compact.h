// Compact serialized forms of the engine's small records: IDs (LEB128 peer,
// zigzag counter), lists of IDs, version vectors, container types (declared
// order byte) and container ids (an enumeration: 0 Root, 1 Normal), and the
// field count in front of counted rows.
#pragma once

#include <vector>

#include "kesu/columnar/varint.h"
#include "kesu/common/container_id.h"
#include "kesu/common/id.h"

namespace kesu {

class VersionVector;

void write_id(Bytes& out, ID id);
SerdeResult<ID> read_id(ByteReader& r);

// LEB128 count, then each ID.
void write_ids(Bytes& out, const std::vector<ID>& ids);
SerdeResult<std::vector<ID>> read_ids(ByteReader& r);

// LEB128 entry count, then (peer LEB128, counter zigzag) per entry in the
// map's iteration order; readers do not depend on the order.
void write_version_vector(Bytes& out, const VersionVector& vv);
SerdeResult<VersionVector> read_version_vector(ByteReader& r);

// Declared-order code (Text 0 ... Counter 5, unknown k as k).
inline void write_container_type(Bytes& out, ContainerType t) {
  out.push_back(t.compact_code());
}
SerdeResult<ContainerType> read_container_type(ByteReader& r);

// The compact form of a container id through any output that offers u8,
// uvarint and text (the value writers count and then write through it).
template <typename Out>
void put_container_id(Out& o, const ContainerID& id) {
  if (auto* root = id.as_root()) {
    o.u8(0);
    o.text(root->name.as_str());
    o.u8(root->type.compact_code());
    return;
  }
  auto* n = id.as_normal();
  o.u8(1);
  o.uvarint(n->peer);
  o.uvarint(zigzag32(n->counter));
  o.u8(n->type.compact_code());
}
void write_container_id(Bytes& out, const ContainerID& id);
SerdeResult<ContainerID> read_container_id(ByteReader& r);

// Reads the field count of a counted row with `fields` fields. A count below
// `fields` is CustomDeserialize; so is a larger one, since extra fields of an
// unknown type cannot be skipped.
SerdeResult<bool> read_row_field_count(ByteReader& r, uint64_t fields);

}  // namespace kesu
