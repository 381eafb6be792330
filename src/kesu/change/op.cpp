#include "kesu/change/op.h"

#include <algorithm>
#include <cstdlib>

#include "kesu/common/internal_error.h"
#include "kesu/shared_arena/shared_arena.h"

namespace kesu {

namespace {

template <class... F>
struct Overload : F... {
  using F::operator()...;
};
template <class... F>
Overload(F...) -> Overload<F...>;

// Byte offset of the k-th Unicode scalar value of UTF-8 text (its length
// when k is the count).
size_t utf8_offset(ByteView b, uint32_t k) {
  size_t i = 0;
  for (uint32_t seen = 0; i < b.size(); ++i) {
    if ((b[i] & 0xC0) != 0x80) {
      if (seen == k) return i;
      ++seen;
    }
  }
  return b.size();
}

bool opvalue_equal(const OpValue& a, const OpValue& b) {
  return a.kind == b.kind && a.i64 == b.i64 &&
         (a.f64 == b.f64 || (a.f64 != a.f64 && b.f64 != b.f64)) &&
         std::ranges::equal(a.bytes, b.bytes) && a.index == b.index && a.value == b.value &&
         a.info == b.info && a.len == b.len && a.key == b.key && a.target == b.target &&
         a.position == b.position && a.parent_index == b.parent_index && a.from == b.from &&
         a.lamport == b.lamport && a.subject_counter == b.subject_counter &&
         a.parent.has_value() == b.parent.has_value() &&
         (!a.parent || a.parent->second == b.parent->second) && a.future_kind == b.future_kind;
}

}  // namespace

bool UnknownOp::operator==(const UnknownOp& o) const {
  return prop == o.prop && kind_byte == o.kind_byte && peers == o.peers &&
         opvalue_equal(value, o.value);
}

uint32_t content_atom_len(const OpContent& c) {
  return std::visit(
      Overload{
          [](const ListInsertOp& l) { return l.end > l.start ? l.end - l.start : 0u; },
          [](const TextInsertOp& t) { return t.unicode_len; },
          [](const DeleteOp& d) {
            uint64_t n =
                d.signed_len < 0 ? uint64_t(0) - uint64_t(d.signed_len) : uint64_t(d.signed_len);
            if (n > uint64_t(INT32_MAX)) throw InternalError("delete length out of range");
            return uint32_t(n);
          },
          [](const auto&) { return 1u; },
      },
      c);
}

bool is_list_family(const OpContent& c) {
  return std::holds_alternative<ListInsertOp>(c) || std::holds_alternative<TextInsertOp>(c) ||
         std::holds_alternative<DeleteOp>(c) || std::holds_alternative<ListMoveOp>(c) ||
         std::holds_alternative<ListSetOp>(c) || std::holds_alternative<StyleStartOp>(c) ||
         std::holds_alternative<StyleEndOp>(c);
}

namespace {

// Deletion runs continue each other: forward deletes repeat one position
// over consecutive ids; backward deletes (backspace) step the position down
// over the ids before the run. A one-element delete is either.
bool delete_can_merge(const DeleteOp& a, const DeleteOp& b) {
  if (a.id_start.peer != b.id_start.peer) return false;
  int64_t alen = std::llabs(a.signed_len), blen = std::llabs(b.signed_len);
  bool a_fwd = a.signed_len > 0 || alen == 1, a_bwd = a.signed_len < 0 || alen == 1;
  bool b_fwd = b.signed_len > 0 || blen == 1, b_bwd = b.signed_len < 0 || blen == 1;
  if (a_fwd && b_fwd && b.pos == a.pos &&
      int64_t(b.id_start.counter) == int64_t(a.id_start.counter) + alen)
    return true;
  if (a_bwd && b_bwd && b.pos == a.pos - alen &&
      int64_t(b.id_start.counter) + blen == int64_t(a.id_start.counter))
    return true;
  return false;
}

}  // namespace

bool content_can_merge(const OpContent& a, const OpContent& b) {
  if (a.index() != b.index()) return false;
  if (auto* x = std::get_if<ListInsertOp>(&a)) {
    auto& y = std::get<ListInsertOp>(b);
    return x->end == y.start && uint64_t(y.pos) == uint64_t(x->pos) + (x->end - x->start);
  }
  if (auto* x = std::get_if<TextInsertOp>(&a)) {
    auto& y = std::get<TextInsertOp>(b);
    return x->slice.can_merge(y.slice) && uint64_t(y.pos) == uint64_t(x->pos) + x->unicode_len &&
           uint64_t(y.unicode_start) == uint64_t(x->unicode_start) + x->unicode_len;
  }
  if (auto* x = std::get_if<DeleteOp>(&a)) return delete_can_merge(*x, std::get<DeleteOp>(b));
  return false;
}

void content_merge(OpContent& a, const OpContent& b) {
  if (auto* x = std::get_if<ListInsertOp>(&a)) {
    x->end = std::get<ListInsertOp>(b).end;
  } else if (auto* x = std::get_if<TextInsertOp>(&a)) {
    auto& y = std::get<TextInsertOp>(b);
    x->slice.merge(y.slice);
    x->unicode_len += y.unicode_len;
  } else if (auto* x = std::get_if<DeleteOp>(&a)) {
    auto& y = std::get<DeleteOp>(b);
    int64_t alen = std::llabs(x->signed_len), blen = std::llabs(y.signed_len);
    bool fwd = (x->signed_len > 0 || alen == 1) && (y.signed_len > 0 || blen == 1) &&
               y.pos == x->pos &&
               int64_t(y.id_start.counter) == int64_t(x->id_start.counter) + alen;
    if (fwd) {
      x->signed_len = alen + blen;
    } else {
      x->signed_len = -(alen + blen);
      x->id_start = y.id_start;
    }
  } else {
    throw InternalError("contents cannot merge");
  }
}

OpContent content_slice(const OpContent& c, uint32_t from, uint32_t to) {
  uint32_t len = content_atom_len(c);
  if (from > to || to > len) throw InternalError("assertion failed: to <= self.atom_len()");
  if (auto* l = std::get_if<ListInsertOp>(&c))
    return ListInsertOp{l->start + from, l->start + to, l->pos + from};
  if (auto* t = std::get_if<TextInsertOp>(&c)) {
    ByteView b = t->slice.bytes();
    size_t bf = utf8_offset(b, from), bt = utf8_offset(b, to);
    return TextInsertOp{t->slice.slice(bf, bt), t->unicode_start + from, to - from, t->pos + from};
  }
  if (auto* d = std::get_if<DeleteOp>(&c)) {
    DeleteOp out = *d;
    int64_t n = int64_t(to) - int64_t(from);
    if (d->signed_len > 0) {
      out.id_start.counter = Counter(d->id_start.counter + int32_t(from));
      out.signed_len = n;
    } else {
      out.pos = d->pos - int64_t(from);
      out.id_start.counter = Counter(d->id_start.counter + int32_t(len - to));
      out.signed_len = -n;
    }
    return out;
  }
  if (from != 0 || to != 1) throw InternalError("assertion failed: from == 0 && to == 1");
  return c;
}

Op Op::slice(uint32_t from, uint32_t to) const {
  return Op{Counter(counter + int32_t(from)), container, content_slice(content, from, to)};
}

size_t Op::estimate_storage_size() const {
  return std::visit(Overload{
                        [&](const ListInsertOp& l) -> size_t {
                          size_t n = l.end > l.start ? l.end - l.start : 0;
                          switch (container.type().kind()) {
                            case ContainerType::Kind::List:
                            case ContainerType::Kind::MovableList:
                              return 4 * n;
                            case ContainerType::Kind::Text:
                              return n;
                            case ContainerType::Kind::Map:
                            case ContainerType::Kind::Tree:
                            case ContainerType::Kind::Counter:
                            case ContainerType::Kind::Unknown:
                              break;
                          }
                          throw InternalError("list insert into a container that is not a list");
                        },
                        [](const TextInsertOp& t) -> size_t { return t.slice.size(); },
                        [](const DeleteOp&) -> size_t { return 8; },
                        [](const ListMoveOp&) -> size_t { return 8; },
                        [](const ListSetOp&) -> size_t { return 7; },
                        [](const StyleStartOp&) -> size_t { return 10; },
                        [](const StyleEndOp&) -> size_t { return 1; },
                        [](const MapSetOp&) -> size_t { return 3; },
                        [](const std::shared_ptr<const TreeOp>&) -> size_t { return 8; },
                        [](const CounterOp&) -> size_t { return 4; },
                        [](const std::shared_ptr<const UnknownOp>&) -> size_t { return 6; },
                    },
                    content);
}

bool Op::operator==(const Op& o) const {
  if (counter != o.counter || container != o.container || content.index() != o.content.index())
    return false;
  if (auto* t = std::get_if<std::shared_ptr<const TreeOp>>(&content))
    return **t == *std::get<std::shared_ptr<const TreeOp>>(o.content);
  if (auto* u = std::get_if<std::shared_ptr<const UnknownOp>>(&content))
    return **u == *std::get<std::shared_ptr<const UnknownOp>>(o.content);
  return content == o.content;
}

bool push_op(std::vector<Op>& ops, Op op) {
  if (!ops.empty()) {
    Op& last = ops.back();
    if (int64_t(last.counter) + last.atom_len() == int64_t(op.counter) &&
        last.container == op.container && is_list_family(last.content) &&
        is_list_family(op.content) && content_can_merge(last.content, op.content)) {
      content_merge(last.content, op.content);
      return true;
    }
  }
  ops.push_back(std::move(op));
  return false;
}

void visit_created_containers(const Op& op, const SharedArena& arena,
                              const std::function<void(const ContainerID&)>& f) {
  auto visit_value = [&](const KesuValue& v) {
    if (v.type() == ValueType::Container) f(v.as_container());
  };
  if (auto* l = std::get_if<ListInsertOp>(&op.content)) {
    if (l->end > l->start)
      for (const auto& v : arena.get_values(l->start, l->end)) visit_value(v);
  } else if (auto* m = std::get_if<MapSetOp>(&op.content)) {
    if (m->value) visit_value(*m->value);
  } else if (auto* s = std::get_if<ListSetOp>(&op.content)) {
    visit_value(s->value);
  } else if (auto* t = std::get_if<std::shared_ptr<const TreeOp>>(&op.content)) {
    if ((*t)->kind == TreeOp::Kind::Create)
      f(ContainerID::normal((*t)->target.peer, (*t)->target.counter, ContainerType::Kind::Map));
  }
}

}  // namespace kesu
