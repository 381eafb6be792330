#include "kesu/common/compact.h"

#include "kesu/common/version.h"

namespace kesu {

void write_id(Bytes& out, ID id) {
  write_uvarint(out, id.peer);
  write_ivarint32(out, id.counter);
}

SerdeResult<ID> read_id(ByteReader& r) {
  auto peer = r.read_uvarint();
  if (!peer.ok()) return Err(std::move(peer).error());
  auto counter = r.read_ivarint32();
  if (!counter.ok()) return Err(std::move(counter).error());
  return ID{*peer, *counter};
}

void write_ids(Bytes& out, const std::vector<ID>& ids) {
  write_uvarint(out, ids.size());
  for (ID id : ids) write_id(out, id);
}

SerdeResult<std::vector<ID>> read_ids(ByteReader& r) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  std::vector<ID> ids;
  ids.reserve(bounded_reserve<ID>(*n, r.remaining() / 2));  // an ID takes at least 2 bytes
  for (uint64_t i = 0; i < *n; ++i) {
    auto id = read_id(r);
    if (!id.ok()) return Err(std::move(id).error());
    ids.push_back(*id);
  }
  return ids;
}

void write_version_vector(Bytes& out, const VersionVector& vv) {
  write_uvarint(out, vv.size());
  for (const auto& [peer, counter] : vv.entries()) write_id(out, {peer, counter});
}

SerdeResult<VersionVector> read_version_vector(ByteReader& r) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  VersionVector::Map m;
  m.reserve(bounded_reserve<std::pair<PeerID, Counter>>(*n, r.remaining() / 2));
  for (uint64_t i = 0; i < *n; ++i) {
    auto id = read_id(r);
    if (!id.ok()) return Err(std::move(id).error());
    m[id->peer] = id->counter;
  }
  return VersionVector(std::move(m));
}

SerdeResult<ContainerType> read_container_type(ByteReader& r) {
  auto b = r.read_u8();
  if (!b.ok()) return Err(std::move(b).error());
  return ContainerType::from_compact_code(*b);
}

void write_container_id(Bytes& out, const ContainerID& id) {
  struct {
    Bytes& b;
    void u8(uint8_t x) { b.push_back(x); }
    void uvarint(uint64_t x) { write_uvarint(b, x); }
    void text(std::string_view t) { write_str(b, t); }
  } o{out};
  put_container_id(o, id);
}

SerdeResult<ContainerID> read_container_id(ByteReader& r) {
  auto variant = r.read_uvarint32();
  if (!variant.ok()) return Err(std::move(variant).error());
  if (*variant == 0) {
    auto name = r.read_str();
    if (!name.ok()) return Err(std::move(name).error());
    auto t = read_container_type(r);
    if (!t.ok()) return Err(std::move(t).error());
    return ContainerID::root(*name, *t);
  }
  if (*variant == 1) {
    auto peer = r.read_uvarint();
    if (!peer.ok()) return Err(std::move(peer).error());
    auto counter = r.read_ivarint32();
    if (!counter.ok()) return Err(std::move(counter).error());
    auto t = read_container_type(r);
    if (!t.ok()) return Err(std::move(t).error());
    return ContainerID::normal(*peer, *counter, *t);
  }
  return Err(SerdeError(SerdeErrorKind::CustomDeserialize,
                        "unknown ContainerID variant " + std::to_string(*variant)));
}

SerdeResult<bool> read_row_field_count(ByteReader& r, uint64_t fields) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  if (*n != fields)
    return Err(SerdeError(
        SerdeErrorKind::CustomDeserialize,
        "row holds " + std::to_string(*n) + " fields, expected " + std::to_string(fields)));
  return true;
}

}  // namespace kesu
