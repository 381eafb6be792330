// Arenas of a change block: every peer, map key, container id and tree
// position is written once and referred to by its index. Indices are given
// out in registration order and never change.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kesu/common/container_id.h"
#include "kesu/common/error.h"
#include "kesu/common/internal_string.h"

namespace kesu {

class PeerTable {
 public:
  size_t register_peer(PeerID p);
  size_t size() const { return peers_.size(); }
  PeerID operator[](size_t i) const { return peers_[i]; }
  const std::vector<PeerID>& peers() const { return peers_; }

 private:
  std::vector<PeerID> peers_;
  std::unordered_map<PeerID, size_t> index_;
};

class KeyArena {
 public:
  size_t register_key(const InternalString& key);
  // Looks the text up first and interns it only when it is new.
  size_t register_key(std::string_view key);
  size_t size() const { return keys_.size(); }
  const InternalString& operator[](size_t i) const { return keys_[i]; }
  const std::vector<InternalString>& keys() const { return keys_; }

 private:
  // Looked up by any text view, without building a std::string first.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::vector<InternalString> keys_;
  std::unordered_map<std::string, size_t, TextHash, std::equal_to<>> index_;
};

class ContainerArena {
 public:
  size_t register_container(const ContainerID& id);
  size_t size() const { return ids_.size(); }
  const std::vector<ContainerID>& ids() const { return ids_; }

 private:
  std::vector<ContainerID> ids_;
  std::unordered_map<ContainerID, size_t> index_;
};

class PositionArena {
 public:
  // Encoders register every position in ascending byte order first, so that
  // later calls only look positions up.
  size_t register_position(ByteView pos);
  size_t size() const { return positions_.size(); }
  const std::vector<Bytes>& positions() const { return positions_; }

 private:
  std::vector<Bytes> positions_;
  std::unordered_map<std::string, size_t> index_;
};

// Keys in index order, each LEB128 length + UTF-8 bytes; no count in front.
Bytes encode_keys(const std::vector<InternalString>& keys);
// DecodeDataCorruptionError on an unfinished length, a length past the end
// or invalid UTF-8.
KesuResult<std::vector<InternalString>> decode_keys(ByteView b);

// LEB128 row count, then per container the counted row (0x04, is_root,
// wire code, peer index, key index or counter). Registers root names in the
// key arena and peers in the peer table.
Bytes encode_containers(const std::vector<ContainerID>& ids, KeyArena& keys, PeerTable& peers);
// Malformed rows are Unknown (the columnar codec's message); indices outside
// the key arena or peer table are DecodeDataCorruptionError.
KesuResult<std::vector<ContainerID>> decode_containers(ByteView b,
                                                       const std::vector<InternalString>& keys,
                                                       const std::vector<PeerID>& peers);

// 0x01, then a column set: AnyRle common-prefix lengths and a counted
// sequence of the remaining bytes. No positions: an empty byte string.
Bytes encode_positions(const std::vector<Bytes>& positions);
// Besides the errors of the format, the decoded positions may not exceed
// 1 MiB + 256 bytes per input byte in total: prefix sharing would otherwise
// let a small input expand quadratically.
KesuResult<std::vector<Bytes>> decode_positions(ByteView b);

}  // namespace kesu
