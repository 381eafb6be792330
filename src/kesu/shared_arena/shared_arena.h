// SharedArena: a document's registry of containers, its list of inserted
// list values and its text arena, shared by the history, the state and the
// handlers of one document (copies of the handle share one arena).
//
// Locks: the registry behind a reader-writer lock ("rwlock"), the values and
// the text arena behind a mutex each ("mutex"). The arena's own operations
// never hold two of them at once, so callers may hold any one of their own
// locks around these calls.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kesu/common/bytes_slice.h"
#include "kesu/common/container_id.h"
#include "kesu/common/value.h"
#include "kesu/shared_arena/container_idx.h"
#include "util/sync.h"

namespace kesu {

// The lengths an arena had at one moment; restore_checkpoint brings it back.
struct ArenaCheckpoint {
  size_t text_bytes = 0;
  uint64_t text_unicode = 0;
  size_t ids = 0;
  size_t root_named = 0;
  size_t roots = 0;
  size_t values = 0;
};

// Text appended to the arena: its bytes and the range of Unicode scalar
// values it takes in the arena's running count.
struct ArenaText {
  BytesSlice bytes;
  uint32_t unicode_start = 0;
  uint32_t unicode_len = 0;
};

class SharedArena {
 public:
  // Maps a container to its parent's id, or to nothing when unknown.
  using ParentResolver = std::function<std::optional<ContainerID>(const ContainerID&)>;

  SharedArena();

  // The index of the id, registering it first when it is new (a mergeable
  // child registers its parent map too).
  ContainerIdx register_container(const ContainerID& id);
  std::optional<ContainerIdx> id_to_idx(const ContainerID& id) const;
  // The id in the index's slot (type bits ignored); nothing past the end.
  std::optional<ContainerID> idx_to_id(ContainerIdx idx) const;
  std::vector<ContainerIdx> root_containers() const;
  // Records the parent of a child (none: the child is a root).
  void set_parent(ContainerIdx child, std::optional<ContainerIdx> parent);
  std::optional<std::optional<ContainerIdx>> get_parent(ContainerIdx child) const;
  // 0 = undetermined, 1 = root, else the parent's depth + 1 (16-bit wrap).
  uint16_t get_depth(ContainerIdx idx);
  void set_parent_resolver(ParentResolver r);
  size_t container_count() const;

  // Appends values; returns their range [start, end) in the value list.
  std::pair<uint32_t, uint32_t> alloc_values(std::vector<KesuValue> values);
  std::optional<KesuValue> get_value(size_t i) const;
  // Copies of [start, end); a range past the list is an internal error.
  std::vector<KesuValue> get_values(uint32_t start, uint32_t end) const;

  // Appends UTF-8 text (the caller has checked it) to the text arena.
  ArenaText alloc_str(std::string_view text);

  ArenaCheckpoint checkpoint() const;
  // Removes everything registered or appended since `cp` was taken. Slices
  // of text handed out before keep their bytes.
  void restore_checkpoint(const ArenaCheckpoint& cp);

  bool same_arena(const SharedArena& o) const { return inner_ == o.inner_; }

 private:
  struct Registry {
    std::vector<ContainerID> ids;
    std::vector<uint16_t> depths;
    std::vector<ContainerIdx> root_named;
    std::vector<ContainerIdx> roots;
    std::unordered_map<ContainerID, ContainerIdx> id_map;
    std::unordered_map<ContainerIdx, std::optional<ContainerIdx>> parents;
    std::shared_ptr<ParentResolver> resolver;
  };
  struct TextArena {
    // The chunk being appended to. Its capacity is reserved up front and
    // never exceeded, so bytes already handed out never move; a full chunk
    // is replaced by a new one.
    std::shared_ptr<Bytes> chunk;
    size_t chunk_base = 0;  // arena byte offset of the chunk's first byte
    uint64_t unicode = 0;
  };
  struct Inner {
    brenvik::RwLock<Registry> registry;
    brenvik::Mutex<std::vector<KesuValue>> values;
    brenvik::Mutex<TextArena> text;
  };

  static ContainerIdx insert_locked(Registry& r, const ContainerID& id);
  static void set_parent_locked(Registry& r, ContainerIdx child, std::optional<ContainerIdx> p);
  static uint16_t depth_locked(Registry& r, ContainerIdx idx, int guard);

  std::shared_ptr<Inner> inner_;
};

}  // namespace kesu
