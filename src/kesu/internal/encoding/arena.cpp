#include "kesu/internal/encoding/arena.h"

#include "kesu/columnar/column_set.h"
#include "kesu/common/compact.h"

namespace kesu {

size_t PeerTable::register_peer(PeerID p) {
  auto [it, inserted] = index_.emplace(p, peers_.size());
  if (inserted) peers_.push_back(p);
  return it->second;
}

size_t KeyArena::register_key(const InternalString& key) {
  auto it = index_.find(key.as_str());
  if (it != index_.end()) return it->second;
  index_.emplace(std::string(key.as_str()), keys_.size());
  keys_.push_back(key);
  return keys_.size() - 1;
}

size_t KeyArena::register_key(std::string_view key) {
  auto it = index_.find(key);
  if (it != index_.end()) return it->second;
  index_.emplace(std::string(key), keys_.size());
  keys_.emplace_back(key);
  return keys_.size() - 1;
}

size_t ContainerArena::register_container(const ContainerID& id) {
  auto [it, inserted] = index_.emplace(id, ids_.size());
  if (inserted) ids_.push_back(id);
  return it->second;
}

size_t PositionArena::register_position(ByteView pos) {
  auto [it, inserted] = index_.emplace(std::string(brenvik::as_chars(pos)), positions_.size());
  if (inserted) positions_.emplace_back(pos.begin(), pos.end());
  return it->second;
}

Bytes encode_keys(const std::vector<InternalString>& keys) {
  Bytes out;
  for (const auto& k : keys) write_str(out, k.as_str());
  return out;
}

KesuResult<std::vector<InternalString>> decode_keys(ByteView b) {
  ByteReader r(b);
  std::vector<InternalString> keys;
  while (!r.at_end()) {
    auto s = r.read_str();
    if (!s.ok()) return Err(KesuError::data_corruption());
    keys.emplace_back(*s);
  }
  return keys;
}

Bytes encode_containers(const std::vector<ContainerID>& ids, KeyArena& keys, PeerTable& peers) {
  Bytes out;
  write_uvarint(out, ids.size());
  for (const auto& id : ids) {
    write_uvarint(out, 4);
    if (auto* root = id.as_root()) {
      write_bool(out, true);
      write_u8(out, root->type.wire_code());
      write_uvarint(out, 0);
      write_ivarint32(out, int32_t(keys.register_key(root->name)));
    } else {
      auto* n = id.as_normal();
      write_bool(out, false);
      write_u8(out, n->type.wire_code());
      write_uvarint(out, peers.register_peer(n->peer));
      write_ivarint32(out, n->counter);
    }
  }
  return out;
}

KesuResult<std::vector<ContainerID>> decode_containers(ByteView b,
                                                       const std::vector<InternalString>& keys,
                                                       const std::vector<PeerID>& peers) {
  ByteReader r(b);
  auto fail = [](SerdeError e) {
    return Err(KesuError::from_columnar(ColumnarError::serialize(std::move(e))));
  };
  auto n = r.read_uvarint();
  if (!n.ok()) return fail(std::move(n).error());
  std::vector<ContainerID> ids;
  ids.reserve(bounded_reserve<ContainerID>(*n, r.remaining() / 5));  // a row takes >= 5 bytes
  for (uint64_t i = 0; i < *n; ++i) {
    auto fc = read_row_field_count(r, 4);
    if (!fc.ok()) return fail(std::move(fc).error());
    auto is_root = r.read_bool();
    if (!is_root.ok()) return fail(std::move(is_root).error());
    auto kind = r.read_u8();
    if (!kind.ok()) return fail(std::move(kind).error());
    auto peer_index = r.read_uvarint();
    if (!peer_index.ok()) return fail(std::move(peer_index).error());
    auto key_or_counter = r.read_ivarint32();
    if (!key_or_counter.ok()) return fail(std::move(key_or_counter).error());
    ContainerType t = ContainerType::from_wire_code(*kind);
    if (*is_root) {
      uint32_t key_index = uint32_t(*key_or_counter);
      if (key_index >= keys.size()) return Err(KesuError::data_corruption());
      ids.push_back(ContainerID::root(keys[key_index], t));
    } else {
      if (*peer_index >= peers.size()) return Err(KesuError::data_corruption());
      ids.push_back(ContainerID::normal(peers[size_t(*peer_index)], *key_or_counter, t));
    }
  }
  return ids;
}

Bytes encode_positions(const std::vector<Bytes>& positions) {
  if (positions.empty()) return {};
  AnyRleEncoder<uint64_t> prefixes;
  Bytes rests;
  write_uvarint(rests, positions.size());
  const Bytes* prev = nullptr;
  for (const Bytes& q : positions) {
    size_t n = 0;
    if (prev) {
      size_t m = std::min(prev->size(), q.size());
      while (n < m && (*prev)[n] == q[n]) ++n;
    }
    prefixes.append(n);
    write_bytes(rests, ByteView(q).subspan(n));
    prev = &q;
  }
  Bytes out{0x01};
  write_column_set(out, {prefixes.finish(), rests});
  return out;
}

KesuResult<std::vector<Bytes>> decode_positions(ByteView b) {
  std::vector<Bytes> out;
  if (b.empty()) return out;
  ByteReader r(b);
  auto col_err = [](SerdeError e) {
    return Err(KesuError::from_columnar(ColumnarError::serialize(std::move(e))));
  };
  auto fields = r.read_uvarint();
  if (!fields.ok()) return col_err(std::move(fields).error());
  if (*fields < 1)
    return col_err(SerdeError(SerdeErrorKind::CustomDeserialize, "position arena has no field"));
  auto cols = read_column_set(r, 2);
  if (!cols.ok()) return col_err(std::move(cols).error());
  // The rest column holds a count and byte strings; each row needs one byte
  // at least, which bounds the number of rows by the input.
  ByteReader rest_reader((*cols)[1]);
  auto rest_count = rest_reader.read_uvarint();
  if (!rest_count.ok())
    return Err(KesuError::from_columnar(ColumnarError::serialize(std::move(rest_count).error())));
  size_t max_rows = size_t(std::min<uint64_t>(*rest_count, rest_reader.remaining()));
  auto prefixes = AnyRleDecoder<uint64_t>((*cols)[0]).decode_all(max_rows);
  if (!prefixes.ok()) {
    // More prefixes than rest entries is allowed: rows are cut to the shorter column.
    if (prefixes.error().kind() != ColumnarErrorKind::RleDecodeError ||
        prefixes.error().text().rfind("column holds more than", 0) != 0)
      return Err(KesuError::from_columnar(prefixes.error()));
    AnyRleDecoder<uint64_t> d((*cols)[0]);
    auto cut = d.take(max_rows);
    if (!cut.ok()) return Err(KesuError::from_columnar(cut.error()));
    prefixes = std::move(cut);
  }
  size_t rows = std::min<size_t>(prefixes->size(), size_t(*rest_count));
  const uint64_t budget = (uint64_t(1) << 20) + 256 * uint64_t(b.size());
  uint64_t total = 0;
  out.reserve(rows);
  for (size_t i = 0; i < rows; ++i) {
    auto rest = rest_reader.read_bytes();
    if (!rest.ok())
      return Err(KesuError::from_columnar(ColumnarError::serialize(std::move(rest).error())));
    uint64_t n = (*prefixes)[i];
    if (i == 0) {
      if (n != 0)
        return Err(
            KesuError::decode("Decode position arena failed: first common prefix is nonzero"));
      out.emplace_back(rest->begin(), rest->end());
    } else {
      const Bytes& prev = out.back();
      if (n > prev.size())
        return Err(KesuError::decode("Decode position arena failed: common prefix out of range"));
      uint64_t len;
      if (__builtin_add_overflow(n, uint64_t(rest->size()), &len) || len == UINT64_MAX)
        return Err(KesuError::decode("Decode position arena failed: position length overflow"));
      Bytes pos;
      pos.reserve(size_t(len));
      pos.insert(pos.end(), prev.begin(), prev.begin() + ptrdiff_t(n));
      pos.insert(pos.end(), rest->begin(), rest->end());
      out.push_back(std::move(pos));
    }
    total += out.back().size();
    if (total > budget)
      return Err(KesuError::decode("Decode position arena failed: positions too large"));
  }
  return out;
}

}  // namespace kesu
