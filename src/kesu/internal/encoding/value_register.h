// ValueRegister: a table of distinct values numbered in first-seen order, so
// that encoded rows refer to a peer, key or string by its index instead of
// repeating it. Registering a value again returns its index and never grows
// the table.
//
// Also here: the rebuilding of a ContainerID from an encoded row's table
// indices, the read-side counterpart of registering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kesu/common/container_id.h"
#include "kesu/common/error.h"
#include "kesu/common/internal_string.h"
#include "util/bytes.h"

namespace kesu {

template <typename T, typename Hash = std::hash<T>, typename Eq = std::equal_to<T>>
class ValueRegister {
 public:
  // The value's index, registering a copy of it first when it is new.
  size_t register_value(const T& v) {
    auto it = index_.find(v);
    if (it != index_.end()) return it->second;
    size_t i = values_.size();
    values_.push_back(v);
    index_.emplace(v, i);
    return i;
  }
  size_t size() const { return values_.size(); }
  const T& operator[](size_t i) const { return values_[i]; }
  const std::vector<T>& values() const { return values_; }
  // Hands the table over; the register is empty afterwards.
  std::vector<T> take() {
    index_.clear();
    return std::move(values_);
  }

 private:
  std::vector<T> values_;
  std::unordered_map<T, size_t, Hash, Eq> index_;
};

// A shared string: equal when it is the same allocation or holds equal bytes.
using SharedBytes = std::shared_ptr<const brenvik::Bytes>;
struct SharedBytesHash {
  size_t operator()(const SharedBytes& b) const {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(b->data()), b->size()));
  }
};
struct SharedBytesEq {
  bool operator()(const SharedBytes& a, const SharedBytes& b) const { return a == b || *a == *b; }
};

using SharedStringRegister = ValueRegister<SharedBytes, SharedBytesHash, SharedBytesEq>;
using KeyRegister = ValueRegister<InternalString>;
using PeerRegister = ValueRegister<PeerID>;

// An encoded container reference: the flag, the peer index, the counter of a
// normal container or the name index of a root one, and the wire kind byte.
struct EncodedContainerRef {
  bool is_root = false;
  uint64_t peer_idx = 0;
  int32_t key_idx_or_counter = 0;
  uint8_t kind = 0;
};

// The ContainerID an encoded reference names; an index outside its table (a
// negative name index included) is DecodeDataCorruptionError. Kind bytes
// above 5 give the Unknown type carrying the byte.
inline KesuResult<ContainerID> decode_container_id(const EncodedContainerRef& ref,
                                                   const std::vector<PeerID>& peers,
                                                   const std::vector<InternalString>& names) {
  ContainerType t = ContainerType::from_wire_code(ref.kind);
  if (ref.is_root) {
    if (ref.key_idx_or_counter < 0 || size_t(ref.key_idx_or_counter) >= names.size())
      return brenvik::Err(KesuError::data_corruption());
    return ContainerID::root(names[size_t(ref.key_idx_or_counter)], t);
  }
  if (ref.peer_idx >= peers.size()) return brenvik::Err(KesuError::data_corruption());
  return ContainerID::normal(peers[size_t(ref.peer_idx)], ref.key_idx_or_counter, t);
}

}  // namespace kesu
