#include "kesu/common/version.h"

#include <algorithm>
#include <optional>

#include "kesu/common/compact.h"

namespace kesu {

std::vector<IdSpan> VersionVector::diff_iter(const VersionVector& other) const {
  std::vector<IdSpan> out;
  for (const auto& [peer, to] : map_) {
    Counter from = std::max<Counter>(other.get(peer), 0);
    if (from < to) out.push_back({peer, {from, to}});
  }
  return out;
}

bool VersionVector::operator==(const VersionVector& o) const {
  for (const auto& [p, c] : map_)
    if (std::max<Counter>(c, 0) != std::max<Counter>(o.get(p), 0)) return false;
  for (const auto& [p, c] : o.map_)
    if (std::max<Counter>(c, 0) != std::max<Counter>(get(p), 0)) return false;
  return true;
}

void Frontiers::push(ID id) {
  switch (v_.index()) {
    case 0:
      v_ = id;
      return;
    case 1: {
      ID cur = std::get<ID>(v_);
      if (cur.peer == id.peer) {
        if (id.counter > cur.counter) v_ = id;
        return;
      }
      auto m = std::make_shared<Map>();
      m->emplace(cur.peer, cur.counter);
      m->emplace(id.peer, id.counter);
      v_ = std::move(m);
      return;
    }
    default: {
      auto& m = std::get<std::shared_ptr<Map>>(v_);
      auto it = m->find(id.peer);
      if (it != m->end() && it->second >= id.counter) return;
      if (m.use_count() != 1) m = std::make_shared<Map>(*m);
      (*m)[id.peer] = id.counter;
    }
  }
}

void Frontiers::remove(ID id) {
  switch (v_.index()) {
    case 0:
      return;
    case 1:
      if (std::get<ID>(v_) == id) v_ = std::monostate();
      return;
    default: {
      auto& m = std::get<std::shared_ptr<Map>>(v_);
      auto it = m->find(id.peer);
      if (it == m->end() || it->second != id.counter) return;
      if (m->size() <= 2) {
        std::optional<ID> rest;
        for (const auto& [p, c] : *m)
          if (p != id.peer) rest = ID{p, c};
        if (rest)
          v_ = *rest;
        else
          v_ = std::monostate();
        return;
      }
      if (m.use_count() != 1) m = std::make_shared<Map>(*m);
      m->erase(id.peer);
    }
  }
}

size_t Frontiers::size() const {
  switch (v_.index()) {
    case 0:
      return 0;
    case 1:
      return 1;
    default:
      return std::get<std::shared_ptr<Map>>(v_)->size();
  }
}

bool Frontiers::contains(ID id) const {
  switch (v_.index()) {
    case 0:
      return false;
    case 1:
      return std::get<ID>(v_) == id;
    default: {
      auto& m = *std::get<std::shared_ptr<Map>>(v_);
      auto it = m.find(id.peer);
      return it != m.end() && it->second == id.counter;
    }
  }
}

std::vector<ID> Frontiers::to_sorted_vec() const {
  std::vector<ID> out;
  switch (v_.index()) {
    case 0:
      break;
    case 1:
      out.push_back(std::get<ID>(v_));
      break;
    default:
      for (const auto& [p, c] : *std::get<std::shared_ptr<Map>>(v_)) out.push_back({p, c});
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool Frontiers::operator==(const Frontiers& o) const {
  if (v_.index() == 2 && o.v_.index() == 2 &&
      std::get<std::shared_ptr<Map>>(v_) == std::get<std::shared_ptr<Map>>(o.v_))
    return true;
  if (size() != o.size()) return false;
  for (ID id : to_sorted_vec())
    if (!o.contains(id)) return false;
  return true;
}

Bytes Frontiers::encode() const {
  Bytes out;
  write_ids(out, to_sorted_vec());
  return out;
}

KesuResult<Frontiers> Frontiers::decode(ByteView b) {
  ByteReader r(b);
  auto ids = read_ids(r);
  if (!ids.ok()) return brenvik::Err(KesuError::decode("Decode Frontiers error"));
  Frontiers f;
  for (ID id : *ids) f.push(id);
  return f;
}

}  // namespace kesu
