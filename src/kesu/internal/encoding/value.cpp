#include "kesu/internal/encoding/value.h"

#include <algorithm>

#include "kesu/columnar/compact.h"
#include "kesu/columnar/rle.h"

namespace kesu {

namespace {

// Walks a value in pre-order without recursion, calling on_value(v) for each
// value and on_key(k) before each map entry's value.
template <typename OnValue, typename OnKey>
void walk_preorder(const KesuValue& root, OnValue on_value, OnKey on_key) {
  struct Task {
    const KesuValue* v;
    const std::string* key;
  };
  std::vector<Task> stack{{&root, nullptr}};
  while (!stack.empty()) {
    Task t = stack.back();
    stack.pop_back();
    if (!t.v) {
      on_key(*t.key);
      continue;
    }
    on_value(*t.v);
    if (t.v->type() == ValueType::List) {
      const auto& l = t.v->as_list();
      for (size_t i = l.size(); i-- > 0;) stack.push_back({&l[i], nullptr});
    } else if (t.v->type() == ValueType::Map) {
      const auto& m = t.v->as_map();
      std::vector<const std::pair<const std::string, KesuValue>*> entries;
      entries.reserve(m.size());
      for (const auto& e : m) entries.push_back(&e);
      for (size_t i = entries.size(); i-- > 0;) {
        stack.push_back({&entries[i]->second, nullptr});
        stack.push_back({nullptr, &entries[i]->first});
      }
    }
  }
}

// A list or map under construction by a non-recursive reader.
struct Frame {
  bool is_map = false;
  uint64_t remaining = 0;
  KesuList list;
  KesuMap map;
  std::string key;
};

// Room reserved for a sequence: nothing when the input cannot back the
// count, and never more than the decode's shared budget (one slot per input
// byte across all sequences) or 1 MiB worth of elements.
size_t take_reserve(uint64_t count, size_t remaining, size_t& budget) {
  if (count > remaining) return 0;
  size_t n = bounded_reserve<KesuValue>(count, budget);
  budget -= n;
  return n;
}

// Attaches a finished value to the frames, closing every frame it completes.
// Returns true with `v` holding the root when the stack empties.
bool attach(std::vector<Frame>& stack, KesuValue& v) {
  for (;;) {
    if (stack.empty()) return true;
    Frame& f = stack.back();
    if (f.is_map)
      f.map.insert_or_assign(std::move(f.key), std::move(v));
    else
      f.list.push_back(std::move(v));
    if (--f.remaining > 0) return false;
    v = f.is_map ? KesuValue::map(std::move(f.map)) : KesuValue::list(std::move(f.list));
    stack.pop_back();
  }
}

}  // namespace

void encode_compact_value(const KesuValue& root, Bytes& out) {
  walk_preorder(
      root,
      [&](const KesuValue& v) {
        switch (v.type()) {
          case ValueType::Null:
            out.push_back(0);
            break;
          case ValueType::Bool:
            out.push_back(1);
            write_bool(out, v.as_bool());
            break;
          case ValueType::Double:
            out.push_back(2);
            write_f64_le(out, v.as_double());
            break;
          case ValueType::I64:
            out.push_back(3);
            write_ivarint(out, v.as_i64());
            break;
          case ValueType::String:
            out.push_back(4);
            write_str(out, v.as_string());
            break;
          case ValueType::List:
            out.push_back(5);
            write_uvarint(out, v.as_list().size());
            break;
          case ValueType::Map:
            out.push_back(6);
            write_uvarint(out, v.as_map().size());
            break;
          case ValueType::Container:
            out.push_back(7);
            write_container_id(out, v.as_container());
            break;
          case ValueType::Binary:
            out.push_back(8);
            write_bytes(out, v.as_binary());
            break;
        }
      },
      [&](const std::string& k) { write_str(out, k); });
}

SerdeResult<KesuValue> decode_compact_value(ByteReader& r) {
  std::vector<Frame> stack;
  size_t budget = r.remaining();
  for (;;) {
    if (!stack.empty() && stack.back().is_map) {
      auto k = r.read_str();
      if (!k.ok()) return Err(std::move(k).error());
      stack.back().key = std::string(*k);
    }
    auto idx = r.read_uvarint32();
    if (!idx.ok()) return Err(std::move(idx).error());
    KesuValue v;
    switch (*idx) {
      case 0:
        break;
      case 1: {
        auto b = r.read_bool();
        if (!b.ok()) return Err(std::move(b).error());
        v = KesuValue(*b);
        break;
      }
      case 2: {
        auto d = r.read_f64_le();
        if (!d.ok()) return Err(std::move(d).error());
        v = KesuValue(*d);
        break;
      }
      case 3: {
        auto i = r.read_ivarint();
        if (!i.ok()) return Err(std::move(i).error());
        v = KesuValue(*i);
        break;
      }
      case 4: {
        auto s = r.read_str();
        if (!s.ok()) return Err(std::move(s).error());
        v = KesuValue::string(std::string(*s));
        break;
      }
      case 5:
      case 6: {
        auto n = r.read_uvarint();
        if (!n.ok()) return Err(std::move(n).error());
        if (*n == 0) {
          v = *idx == 5 ? KesuValue::list({}) : KesuValue::map({});
          break;
        }
        Frame f;
        f.is_map = *idx == 6;
        f.remaining = *n;
        size_t reserve = take_reserve(*n, r.remaining(), budget);
        if (f.is_map)
          f.map.reserve(reserve);
        else
          f.list.reserve(reserve);
        stack.push_back(std::move(f));
        continue;
      }
      case 7: {
        auto c = read_container_id(r);
        if (!c.ok()) return Err(std::move(c).error());
        v = KesuValue(std::move(*c));
        break;
      }
      case 8: {
        auto b = r.read_bytes();
        if (!b.ok()) return Err(std::move(b).error());
        v = KesuValue::binary(Bytes(b->begin(), b->end()));
        break;
      }
      default:
        return Err(SerdeError(SerdeErrorKind::CustomDeserialize,
                              "unknown value variant " + std::to_string(*idx)));
    }
    if (attach(stack, v)) return v;
  }
}

size_t write_nested_value(const KesuValue& root, Bytes& out, KeyArena& keys) {
  size_t before = out.size();
  walk_preorder(
      root,
      [&](const KesuValue& v) {
        switch (v.type()) {
          case ValueType::Null:
            out.push_back(0);
            break;
          case ValueType::Bool:
            out.push_back(v.as_bool() ? 1 : 2);
            break;
          case ValueType::I64:
            out.push_back(3);
            write_sleb128(out, v.as_i64());
            break;
          case ValueType::Double:
            out.push_back(4);
            write_f64_be(out, v.as_double());
            break;
          case ValueType::String:
            out.push_back(5);
            write_str(out, v.as_string());
            break;
          case ValueType::Binary:
            out.push_back(6);
            write_bytes(out, v.as_binary());
            break;
          case ValueType::List:
            out.push_back(7);
            write_uvarint(out, v.as_list().size());
            break;
          case ValueType::Map:
            out.push_back(8);
            write_uvarint(out, v.as_map().size());
            break;
          case ValueType::Container:
            out.push_back(9);
            out.push_back(v.as_container().container_type().wire_code());
            break;
        }
      },
      [&](const std::string& k) { write_uvarint(out, keys.register_key(std::string_view(k))); });
  return out.size() - before;
}

namespace {

// One complete nested value (any tag), without recursion; container values
// get the identifier (peer, counter).
KesuResult<KesuValue> read_nested_inner(ByteReader& r, const std::vector<InternalString>& keys,
                                        PeerID peer, Counter counter, size_t& budget) {
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  std::vector<Frame> stack;
  for (;;) {
    if (!stack.empty() && stack.back().is_map) {
      auto k = r.read_uvarint();
      if (!k.ok() || *k >= keys.size()) return corrupt();
      stack.back().key = std::string(keys[size_t(*k)].as_str());
    }
    auto tag = r.read_u8();
    if (!tag.ok()) return corrupt();
    KesuValue v;
    switch (*tag) {
      case 0:
        break;
      case 1:
        v = KesuValue(true);
        break;
      case 2:
        v = KesuValue(false);
        break;
      case 3: {
        auto i = r.read_sleb128();
        if (!i.ok()) return corrupt();
        v = KesuValue(*i);
        break;
      }
      case 4: {
        auto d = r.read_f64_be();
        if (!d.ok()) return corrupt();
        v = KesuValue(*d);
        break;
      }
      case 5: {
        auto s = r.read_str();
        if (!s.ok()) return corrupt();
        v = KesuValue::string(std::string(*s));
        break;
      }
      case 6: {
        auto b = r.read_bytes();
        if (!b.ok()) return corrupt();
        v = KesuValue::binary(Bytes(b->begin(), b->end()));
        break;
      }
      case 7:
      case 8: {
        auto n = r.read_uvarint();
        if (!n.ok() || *n > kMaxNestedCount) return corrupt();
        if (*n == 0) {
          v = *tag == 7 ? KesuValue::list({}) : KesuValue::map({});
          break;
        }
        Frame f;
        f.is_map = *tag == 8;
        f.remaining = *n;
        size_t reserve = take_reserve(*n, r.remaining(), budget);
        if (f.is_map)
          f.map.reserve(reserve);
        else
          f.list.reserve(reserve);
        stack.push_back(std::move(f));
        continue;
      }
      case 9: {
        auto code = r.read_u8();
        if (!code.ok()) return corrupt();
        v = KesuValue(ContainerID::normal(peer, counter, ContainerType::from_wire_code(*code)));
        break;
      }
      default:
        return corrupt();
    }
    if (attach(stack, v)) return v;
  }
}

}  // namespace

KesuResult<KesuValue> read_nested_value(ByteReader& r, const std::vector<InternalString>& keys,
                                        PeerID peer, Counter counter) {
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  size_t budget = r.remaining();
  size_t start = r.position();
  auto tag = r.read_u8();
  if (!tag.ok()) return corrupt();
  if (*tag == 7) {
    auto n = r.read_uvarint();
    if (!n.ok() || *n > kMaxNestedCount) return corrupt();
    KesuList items;
    items.reserve(take_reserve(*n, r.remaining(), budget));
    for (uint64_t i = 0; i < *n; ++i) {
      int64_t c = std::min<int64_t>(int64_t(counter) + int64_t(i), INT32_MAX);
      auto v = read_nested_inner(r, keys, peer, Counter(c), budget);
      if (!v.ok()) return Err(std::move(v).error());
      items.push_back(std::move(*v));
    }
    return KesuValue::list(std::move(items));
  }
  if (*tag == 8) {
    auto n = r.read_uvarint();
    if (!n.ok() || *n > kMaxNestedCount) return corrupt();
    KesuMap entries;
    entries.reserve(take_reserve(*n, r.remaining(), budget));
    for (uint64_t i = 0; i < *n; ++i) {
      auto k = r.read_uvarint();
      if (!k.ok() || *k >= keys.size()) return corrupt();
      auto v = read_nested_inner(r, keys, peer, counter, budget);
      if (!v.ok()) return Err(std::move(v).error());
      entries.insert_or_assign(std::string(keys[size_t(*k)].as_str()), std::move(*v));
    }
    return KesuValue::map(std::move(entries));
  }
  r.skip_to(start);
  return read_nested_inner(r, keys, peer, counter, budget);
}

ValueKind value_kind_from_byte(uint8_t b) {
  uint8_t k = b & 0x7F;
  if (k <= 16) return ValueKind(k);
  return ValueKind::Future;
}

uint8_t write_op_value(const OpValue& v, Bytes& out, KeyArena& keys) {
  switch (v.kind) {
    case ValueKind::Null:
    case ValueKind::True:
    case ValueKind::False:
    case ValueKind::MapDelete:
    case ValueKind::SeqDelete:
      break;
    case ValueKind::I64:
      write_sleb128(out, v.i64);
      break;
    case ValueKind::I32:
      write_sleb128(out, int32_t(v.i64));
      break;
    case ValueKind::F64:
      write_f64_be(out, v.f64);
      break;
    case ValueKind::Str:
    case ValueKind::Binary:
      write_bytes(out, v.bytes);
      break;
    case ValueKind::ContainerIdx:
      write_uvarint(out, v.index);
      break;
    case ValueKind::NestedValue:
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::StyleStart:
      out.push_back(v.info);
      write_uvarint32(out, v.len);
      write_uvarint(out, keys.register_key(v.key));
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::TreeMoveByIndex:
      write_uvarint(out, v.target);
      out.push_back(v.parent_index ? 0 : 1);
      write_uvarint(out, v.position);
      if (v.parent_index) write_uvarint(out, *v.parent_index);
      break;
    case ValueKind::ElemMove:
      write_uvarint32(out, v.from);
      write_uvarint(out, v.peer_idx);
      write_uvarint32(out, v.lamport);
      break;
    case ValueKind::ElemSet:
      write_uvarint(out, v.peer_idx);
      write_uvarint32(out, v.lamport);
      write_nested_value(v.value, out, keys);
      break;
    case ValueKind::TreeMove:
      write_uvarint(out, v.peer_idx);
      write_uvarint(out, uint64_t(int64_t(v.subject_counter)));
      write_uvarint(out, v.position);
      out.push_back(v.parent ? 0 : 1);
      if (v.parent) {
        write_uvarint(out, v.parent->first);
        write_uvarint(out, uint64_t(int64_t(v.parent->second)));
      }
      break;
    case ValueKind::Future:
      write_bytes(out, v.bytes);
      return uint8_t(0x80 | (v.future_kind & 0x7F));
  }
  return uint8_t(v.kind);
}

KesuResult<OpValue> read_op_value(uint8_t kind_byte, ByteReader& r,
                                  const std::vector<InternalString>& keys, PeerID peer,
                                  Counter counter) {
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  OpValue v;
  v.kind = value_kind_from_byte(kind_byte);
  switch (v.kind) {
    case ValueKind::Null:
    case ValueKind::True:
    case ValueKind::False:
    case ValueKind::MapDelete:
    case ValueKind::SeqDelete:
      break;
    case ValueKind::I64:
    case ValueKind::I32: {
      auto i = r.read_sleb128();
      if (!i.ok()) return corrupt();
      v.i64 = v.kind == ValueKind::I32 ? int64_t(int32_t(uint32_t(uint64_t(*i)))) : *i;
      break;
    }
    case ValueKind::F64: {
      auto d = r.read_f64_be();
      if (!d.ok()) return corrupt();
      v.f64 = *d;
      break;
    }
    case ValueKind::Str: {
      auto s = r.read_str();
      if (!s.ok()) return corrupt();
      v.bytes = brenvik::as_bytes(*s);
      break;
    }
    case ValueKind::Binary: {
      auto b = r.read_bytes();
      if (!b.ok()) return corrupt();
      v.bytes = *b;
      break;
    }
    case ValueKind::ContainerIdx: {
      auto i = r.read_uvarint();
      if (!i.ok()) return corrupt();
      v.index = *i;
      break;
    }
    case ValueKind::NestedValue: {
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.value = std::move(*n);
      break;
    }
    case ValueKind::StyleStart: {
      auto info = r.read_u8();
      if (!info.ok()) return corrupt();
      auto len = r.read_uvarint32();
      if (!len.ok()) return corrupt();
      auto key = r.read_uvarint();
      if (!key.ok() || *key >= keys.size()) return corrupt();
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.info = *info;
      v.len = *len;
      v.key = keys[size_t(*key)];
      v.value = std::move(*n);
      break;
    }
    case ValueKind::TreeMoveByIndex: {
      auto target = r.read_uvarint();
      if (!target.ok()) return corrupt();
      auto is_root = r.read_u8();
      if (!is_root.ok()) return corrupt();
      auto pos = r.read_uvarint();
      if (!pos.ok()) return corrupt();
      v.target = *target;
      v.position = *pos;
      if (*is_root == 0) {
        auto parent = r.read_uvarint();
        if (!parent.ok()) return corrupt();
        v.parent_index = *parent;
      }
      break;
    }
    case ValueKind::ElemMove: {
      auto from = r.read_uvarint32();
      if (!from.ok()) return corrupt();
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto lamport = r.read_uvarint32();
      if (!lamport.ok()) return corrupt();
      v.from = *from;
      v.peer_idx = *p;
      v.lamport = *lamport;
      break;
    }
    case ValueKind::ElemSet: {
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto lamport = r.read_uvarint32();
      if (!lamport.ok()) return corrupt();
      auto n = read_nested_value(r, keys, peer, counter);
      if (!n.ok()) return Err(std::move(n).error());
      v.peer_idx = *p;
      v.lamport = *lamport;
      v.value = std::move(*n);
      break;
    }
    case ValueKind::TreeMove: {
      auto p = r.read_uvarint();
      if (!p.ok()) return corrupt();
      auto c = r.read_uvarint();
      if (!c.ok()) return corrupt();
      auto pos = r.read_uvarint();
      if (!pos.ok()) return corrupt();
      auto is_root = r.read_u8();
      if (!is_root.ok()) return corrupt();
      v.peer_idx = *p;
      v.subject_counter = Counter(uint32_t(*c));
      v.position = *pos;
      if (*is_root == 0) {
        auto pp = r.read_uvarint();
        if (!pp.ok()) return corrupt();
        auto pc = r.read_uvarint();
        if (!pc.ok()) return corrupt();
        v.parent = std::make_pair(*pp, Counter(uint32_t(*pc)));
      }
      break;
    }
    case ValueKind::Future: {
      auto b = r.read_bytes();
      if (!b.ok()) return corrupt();
      v.future_kind = kind_byte & 0x7F;
      v.bytes = *b;
      break;
    }
  }
  return v;
}

SerdeResult<InternalString> read_interned_string(ByteReader& r) {
  auto s = r.read_str();
  if (!s.ok()) return Err(std::move(s).error());
  return InternalString(*s);
}

SerdeResult<std::vector<KesuValue>> read_value_list(ByteReader& r) {
  auto n = r.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  std::vector<KesuValue> out;
  out.reserve(bounded_reserve<KesuValue>(*n, r.remaining()));
  for (uint64_t i = 0; i < *n; ++i) {
    auto v = decode_compact_value(r);
    if (!v.ok()) return Err(std::move(v).error());
    out.push_back(std::move(*v));
  }
  return out;
}

SerdeResult<std::vector<uint64_t>> read_plain_u64_column(ByteReader& r) {
  auto b = r.read_bytes();
  if (!b.ok()) return Err(std::move(b).error());
  ByteReader inner(*b);
  auto n = inner.read_uvarint();
  if (!n.ok()) return Err(std::move(n).error());
  std::vector<uint64_t> out;
  out.reserve(bounded_reserve<uint64_t>(*n, inner.remaining()));
  for (uint64_t i = 0; i < *n; ++i) {
    auto x = inner.read_uvarint();
    if (!x.ok()) return Err(std::move(x).error());
    out.push_back(*x);
  }
  return out;
}

}  // namespace kesu
