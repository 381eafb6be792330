#include "kesu/shared_arena/shared_arena.h"

#include <algorithm>

#include "kesu/common/internal_error.h"
#include "kesu/shared_arena/engine_lock.h"
#include "util/utf8.h"

namespace kesu {

namespace {
// Room reserved for each text chunk; larger texts get a chunk of their own size.
constexpr size_t kTextChunkBytes = 64 * 1024;

uint32_t count_scalars(std::string_view s) {
  uint32_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

bool is_plain_root(const ContainerID& id) {
  return id.is_root() && !id.is_mergeable_child();
}
}  // namespace

SharedArena::SharedArena() : inner_(std::make_shared<Inner>()) {}

ContainerIdx SharedArena::insert_locked(Registry& r, const ContainerID& id) {
  // A mergeable child names its parent, which may name its own: walk the
  // chain without recursion, registering from the child upwards so that the
  // child takes the lower slot.
  std::vector<ContainerIdx> chain;
  ContainerID cur = id;
  for (;;) {
    if (auto it = r.id_map.find(cur); it != r.id_map.end()) {
      chain.push_back(it->second);
      break;
    }
    uint32_t slot = uint32_t(r.ids.size());
    if (slot > ContainerIdx::kSlotMask) throw InternalError("container registry is full");
    ContainerIdx idx = ContainerIdx::make(slot, cur.container_type());
    r.ids.push_back(cur);
    r.id_map.emplace(cur, idx);
    if (cur.is_normal()) {
      r.depths.push_back(0);
      chain.push_back(idx);
      break;
    }
    r.root_named.push_back(idx);
    auto parent = cur.parse_mergeable_child();
    if (!parent) {
      r.roots.push_back(idx);
      r.parents[idx] = std::nullopt;
      r.depths.push_back(1);
      chain.push_back(idx);
      break;
    }
    r.depths.push_back(0);
    chain.push_back(idx);
    cur = parent->first;
  }
  // Link each registered mergeable child to the container after it.
  for (size_t i = chain.size(); i-- > 1;) {
    ContainerIdx child = chain[i - 1], parent = chain[i];
    r.parents[child] = parent;
    uint16_t pd = r.depths[parent.slot()];
    r.depths[child.slot()] = pd == 0 ? 0 : uint16_t(pd + 1);
  }
  return chain.front();
}

ContainerIdx SharedArena::register_container(const ContainerID& id) {
  auto g = write_engine(inner_->registry);
  return insert_locked(*g, id);
}

std::optional<ContainerIdx> SharedArena::id_to_idx(const ContainerID& id) const {
  auto g = read_engine(inner_->registry);
  if (g->id_map.empty()) return std::nullopt;
  auto it = g->id_map.find(id);
  if (it == g->id_map.end()) return std::nullopt;
  return it->second;
}

std::optional<ContainerID> SharedArena::idx_to_id(ContainerIdx idx) const {
  auto g = read_engine(inner_->registry);
  if (idx.slot() >= g->ids.size()) return std::nullopt;
  return g->ids[idx.slot()];
}

std::vector<ContainerIdx> SharedArena::root_containers() const {
  auto g = read_engine(inner_->registry);
  return g->roots;
}

size_t SharedArena::container_count() const {
  auto g = read_engine(inner_->registry);
  return g->ids.size();
}

void SharedArena::set_parent_locked(Registry& r, ContainerIdx child,
                                    std::optional<ContainerIdx> parent) {
  if (child.slot() >= r.depths.size()) throw InternalError("container index out of range");
  r.parents[child] = parent;
  if (!parent) {
    r.depths[child.slot()] = 1;
    return;
  }
  if (parent->slot() >= r.depths.size()) throw InternalError("container index out of range");
  uint16_t pd = r.depths[parent->slot()];
  r.depths[child.slot()] = pd == 0 ? 0 : uint16_t(pd + 1);
}

void SharedArena::set_parent(ContainerIdx child, std::optional<ContainerIdx> parent) {
  auto g = write_engine(inner_->registry);
  set_parent_locked(*g, child, parent);
}

std::optional<std::optional<ContainerIdx>> SharedArena::get_parent(ContainerIdx child) const {
  auto g = read_engine(inner_->registry);
  auto it = g->parents.find(child);
  if (it == g->parents.end()) return std::nullopt;
  return it->second;
}

void SharedArena::set_parent_resolver(ParentResolver r) {
  auto g = write_engine(inner_->registry);
  g->resolver = r ? std::make_shared<ParentResolver>(std::move(r)) : nullptr;
}

uint16_t SharedArena::depth_locked(Registry& r, ContainerIdx start, int /*guard*/) {
  // Walk up to the first container whose depth is known (or cannot be
  // found), then assign depths on the way back down. Iterative: a chain can
  // be as long as the depth range.
  std::vector<ContainerIdx> path;
  ContainerIdx idx = start;
  uint16_t base = 0;
  for (;;) {
    if (idx.slot() >= r.depths.size()) throw InternalError("container index out of range");
    if (uint16_t d = r.depths[idx.slot()]; d != 0) {
      base = d;
      break;
    }
    if (path.size() > 0x10000) return 0;  // a cycle in the resolver's answers
    path.push_back(idx);
    if (auto it = r.parents.find(idx); it != r.parents.end()) {
      if (!it->second) {
        base = 0;
        r.depths[idx.slot()] = 1;
        path.pop_back();
        base = 1;
        break;
      }
      idx = *it->second;
      continue;
    }
    const ContainerID id = r.ids[idx.slot()];
    if (is_plain_root(id)) {
      r.depths[idx.slot()] = 1;
      path.pop_back();
      base = 1;
      break;
    }
    if (!r.resolver) return 0;
    auto parent = (*r.resolver)(id);
    if (!parent) return 0;
    ContainerIdx p;
    if (auto it = r.id_map.find(*parent); it != r.id_map.end()) {
      p = it->second;
      if (is_plain_root(*parent)) {
        r.parents.try_emplace(p, std::nullopt);
        if (r.depths[p.slot()] == 0) r.depths[p.slot()] = 1;
      }
    } else {
      p = insert_locked(r, *parent);
    }
    idx = p;
  }
  uint16_t d = base;
  for (size_t i = path.size(); i-- > 0;) {
    d = uint16_t(d + 1);
    if (d == 0) return 0;
    r.depths[path[i].slot()] = d;
  }
  return d;
}

uint16_t SharedArena::get_depth(ContainerIdx idx) {
  auto g = write_engine(inner_->registry);
  return depth_locked(*g, idx, 0);
}

std::pair<uint32_t, uint32_t> SharedArena::alloc_values(std::vector<KesuValue> values) {
  auto g = lock_engine(inner_->values);
  uint32_t start = uint32_t(g->size());
  for (auto& v : values) g->push_back(std::move(v));
  return {start, uint32_t(g->size())};
}

std::optional<KesuValue> SharedArena::get_value(size_t i) const {
  auto g = lock_engine(inner_->values);
  if (i >= g->size()) return std::nullopt;
  return (*g)[i];
}

std::vector<KesuValue> SharedArena::get_values(uint32_t start, uint32_t end) const {
  auto g = lock_engine(inner_->values);
  if (start > end || end > g->size()) throw InternalError("value range outside the arena");
  return std::vector<KesuValue>(g->begin() + start, g->begin() + end);
}

ArenaText SharedArena::alloc_str(std::string_view text) {
  auto g = lock_engine(inner_->text);
  TextArena& t = *g;
  if (!t.chunk || t.chunk->capacity() - t.chunk->size() < text.size()) {
    if (t.chunk) t.chunk_base += t.chunk->size();
    t.chunk = std::make_shared<Bytes>();
    t.chunk->reserve(std::max(kTextChunkBytes, text.size()));
  }
  size_t from = t.chunk->size();
  t.chunk->insert(t.chunk->end(), text.begin(), text.end());
  ArenaText out;
  out.bytes = BytesSlice::from_shared(t.chunk).slice(from, t.chunk->size());
  out.unicode_start = uint32_t(t.unicode);
  out.unicode_len = count_scalars(text);
  t.unicode += out.unicode_len;
  return out;
}

ArenaCheckpoint SharedArena::checkpoint() const {
  ArenaCheckpoint cp;
  {
    auto g = read_engine(inner_->registry);
    cp.ids = g->ids.size();
    cp.root_named = g->root_named.size();
    cp.roots = g->roots.size();
  }
  {
    auto g = lock_engine(inner_->values);
    cp.values = g->size();
  }
  auto g = lock_engine(inner_->text);
  cp.text_bytes = g->chunk_base + (g->chunk ? g->chunk->size() : 0);
  cp.text_unicode = g->unicode;
  return cp;
}

void SharedArena::restore_checkpoint(const ArenaCheckpoint& cp) {
  {
    auto g = write_engine(inner_->registry);
    Registry& r = *g;
    if (cp.ids > r.ids.size()) throw InternalError("checkpoint is ahead of the arena");
    for (size_t i = cp.ids; i < r.ids.size(); ++i) r.id_map.erase(r.ids[i]);
    r.ids.resize(cp.ids);
    r.depths.resize(cp.ids);
    r.root_named.resize(std::min(cp.root_named, r.root_named.size()));
    r.roots.resize(std::min(cp.roots, r.roots.size()));
    std::erase_if(r.parents, [&](const auto& e) {
      return e.first.slot() >= cp.ids || (e.second && e.second->slot() >= cp.ids);
    });
  }
  {
    auto g = lock_engine(inner_->values);
    if (g->size() > cp.values) g->resize(cp.values);
  }
  auto g = lock_engine(inner_->text);
  TextArena& t = *g;
  size_t now = t.chunk_base + (t.chunk ? t.chunk->size() : 0);
  if (cp.text_bytes == 0) {
    t = TextArena{};
    return;
  }
  if (now > cp.text_bytes) {
    // A fresh chunk holding the kept tail of the current one: slices handed
    // out from the old chunk keep their bytes, and later text never
    // overwrites them.
    auto fresh = std::make_shared<Bytes>();
    fresh->reserve(kTextChunkBytes);
    if (t.chunk && cp.text_bytes > t.chunk_base) {
      size_t keep = cp.text_bytes - t.chunk_base;
      fresh->insert(fresh->end(), t.chunk->begin(), t.chunk->begin() + ptrdiff_t(keep));
    } else {
      t.chunk_base = cp.text_bytes;
    }
    t.chunk = std::move(fresh);
  }
  t.unicode = cp.text_unicode;
}

}  // namespace kesu
