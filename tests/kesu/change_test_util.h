// Builders of changes for the change-block and change-store tests, and a
// description of a change that does not depend on the arena it lives in
// (container ids instead of indices, values and text instead of ranges),
// so that changes decoded into another arena compare with the originals.
#pragma once

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kesu/change/change.h"
#include "kesu/shared_arena/shared_arena.h"

namespace kesu::test {

class ChangeBuilder {
 public:
  ChangeBuilder(SharedArena& arena, PeerID peer, Counter counter, Lamport lamport) : arena_(arena) {
    c_.id = {peer, counter};
    c_.lamport = lamport;
  }
  ChangeBuilder& deps(Frontiers f) {
    c_.deps = std::move(f);
    return *this;
  }
  ChangeBuilder& timestamp(int64_t t) {
    c_.timestamp = t;
    return *this;
  }
  ChangeBuilder& message(std::string m) {
    c_.message = std::make_shared<const std::string>(std::move(m));
    return *this;
  }
  ChangeBuilder& text(const ContainerID& c, uint32_t pos, std::string_view s) {
    auto t = arena_.alloc_str(s);
    return op(c, TextInsertOp{t.bytes, t.unicode_start, t.unicode_len, pos});
  }
  ChangeBuilder& list(const ContainerID& c, uint32_t pos, std::vector<KesuValue> values) {
    auto [s, e] = arena_.alloc_values(std::move(values));
    return op(c, ListInsertOp{s, e, pos});
  }
  ChangeBuilder& op(const ContainerID& c, OpContent content) {
    Counter at = Counter(c_.id.counter + int32_t(c_.atom_len()));
    push_op(c_.ops, Op{at, arena_.register_container(c), std::move(content)});
    return *this;
  }
  Change build() const { return c_; }
  uint32_t len() const { return c_.atom_len(); }

 private:
  SharedArena& arena_;
  Change c_;
};

inline std::string describe(const Op& op, const SharedArena& arena) {
  std::ostringstream o;
  auto id = arena.idx_to_id(op.container);
  o << op.counter << " " << (id ? id->to_string() : "?") << " ";
  std::visit(
      [&](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, ListInsertOp>) {
          o << "list@" << c.pos << "[";
          for (const auto& v : arena.get_values(c.start, c.end)) o << v.debug() << ",";
          o << "]";
        } else if constexpr (std::is_same_v<C, TextInsertOp>) {
          o << "text@" << c.pos << " " << brenvik::as_chars(c.slice.bytes())
            << " n=" << c.unicode_len;
        } else if constexpr (std::is_same_v<C, DeleteOp>) {
          o << "del " << c.id_start.to_string() << " pos=" << c.pos << " len=" << c.signed_len;
        } else if constexpr (std::is_same_v<C, ListMoveOp>) {
          o << "move " << c.from << "->" << c.to << " " << c.elem_id.to_string();
        } else if constexpr (std::is_same_v<C, ListSetOp>) {
          o << "set " << c.elem_id.to_string() << " " << c.value.debug();
        } else if constexpr (std::is_same_v<C, StyleStartOp>) {
          o << "style " << c.start << ".." << c.end << " " << c.key.as_str() << "="
            << c.value.debug() << " info=" << int(c.info);
        } else if constexpr (std::is_same_v<C, StyleEndOp>) {
          o << "style-end";
        } else if constexpr (std::is_same_v<C, MapSetOp>) {
          o << "map " << c.key.as_str() << "=" << (c.value ? c.value->debug() : "<deleted>");
        } else if constexpr (std::is_same_v<C, std::shared_ptr<const TreeOp>>) {
          o << "tree " << int(c->kind) << " " << c->target.debug()
            << " parent=" << (c->parent ? c->parent->debug() : "root")
            << " pos=" << c->position.size();
        } else if constexpr (std::is_same_v<C, CounterOp>) {
          o << "counter " << c.delta;
        } else {
          o << "unknown " << c->prop << " kind=" << int(c->kind_byte);
        }
      },
      op.content);
  return o.str();
}

inline std::string describe(const Change& c, const SharedArena& arena) {
  std::ostringstream o;
  o << c.id.to_string() << " L" << c.lamport << " t" << c.timestamp
    << " m=" << (c.message ? "\"" + *c.message + "\"" : "none") << " deps=";
  for (const ID& d : c.deps.to_sorted_vec()) o << d.to_string() << ",";
  o << " len=" << c.atom_len() << "\n";
  for (const Op& op : c.ops) o << "  " << describe(op, arena) << "\n";
  return o.str();
}

inline std::string describe(const std::vector<Change>& cs, const SharedArena& arena) {
  std::string s;
  for (const auto& c : cs) s += describe(c, arena);
  return s;
}

}  // namespace kesu::test
