#include "kesu/change_store/block_encode.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "kesu/change_store/block_meta_encode.h"
#include "kesu/change_store/encoded_block.h"
#include "kesu/columnar/column_set.h"
#include "kesu/common/compact.h"
#include "kesu/common/internal_error.h"
#include "kesu/internal/encoding/arena.h"
#include "kesu/internal/encoding/value.h"
#include "kesu/kv_store/shared_bytes.h"
#include "util/log.h"

namespace kesu {

namespace {

constexpr std::string_view kTarget = "kesu_internal::oplog::change_store::block_encode";
// The parent that stands for "deleted" in a tree op's row.
constexpr PeerID kDeletedRootPeer = UINT64_MAX;
constexpr Counter kDeletedRootCounter = INT32_MAX;

using OpCols = std::tuple<DeltaRleColumn<uint32_t>, DeltaRleColumn<int32_t>, AnyRleColumn<uint8_t>,
                          AnyRleColumn<uint32_t>>;

struct Tables {
  PeerTable peers;
  KeyArena keys;
  ContainerArena containers;
  PositionArena positions;
};

struct Rows {
  std::vector<uint32_t> container;
  std::vector<int32_t> prop;
  std::vector<uint8_t> kind;
  std::vector<uint32_t> len;
  std::vector<uint64_t> del_peer;
  std::vector<int32_t> del_counter;
  std::vector<int64_t> del_len;
  Bytes values;
};

[[noreturn]] void invariant(const char* what) {
  throw InternalError(what);
}

void encode_op(const Op& op, const SharedArena& arena, Tables& t, Rows& rows) {
  auto id = arena.idx_to_id(op.container);
  if (!id) invariant("op container is not in the arena");
  const ContainerType::Kind ck = id->container_type().kind();
  rows.container.push_back(uint32_t(t.containers.register_container(*id)));
  OpValue v;
  int32_t prop = 0;
  uint32_t len = op.atom_len();
  std::visit(
      [&](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, ListInsertOp>) {
          if (ck != ContainerType::Kind::List && ck != ContainerType::Kind::MovableList)
            invariant("list insert into a container that is not a list");
          KesuList items;
          if (c.end > c.start)
            for (auto& x : arena.get_values(c.start, c.end)) items.push_back(std::move(x));
          prop = int32_t(c.pos);
          v.kind = ValueKind::NestedValue;
          v.value = KesuValue::list(std::move(items));
        } else if constexpr (std::is_same_v<C, TextInsertOp>) {
          prop = int32_t(c.pos);
          v.kind = ValueKind::Str;
          v.bytes = c.slice.bytes();
        } else if constexpr (std::is_same_v<C, DeleteOp>) {
          prop = int32_t(c.pos);
          v.kind = ValueKind::SeqDelete;
          rows.del_peer.push_back(t.peers.register_peer(c.id_start.peer));
          rows.del_counter.push_back(c.id_start.counter);
          rows.del_len.push_back(c.signed_len);
        } else if constexpr (std::is_same_v<C, ListMoveOp>) {
          prop = int32_t(c.to);
          v.kind = ValueKind::ElemMove;
          v.from = c.from;
          v.peer_idx = t.peers.register_peer(c.elem_id.peer);
          v.lamport = c.elem_id.lamport;
        } else if constexpr (std::is_same_v<C, ListSetOp>) {
          v.kind = ValueKind::ElemSet;
          v.peer_idx = t.peers.register_peer(c.elem_id.peer);
          v.lamport = c.elem_id.lamport;
          v.value = c.value;
        } else if constexpr (std::is_same_v<C, StyleStartOp>) {
          prop = int32_t(c.start);
          v.kind = ValueKind::StyleStart;
          v.info = c.info;
          v.len = c.end - c.start;
          v.key = c.key;
          v.value = c.value;
        } else if constexpr (std::is_same_v<C, StyleEndOp>) {
          v.kind = ValueKind::Null;
        } else if constexpr (std::is_same_v<C, MapSetOp>) {
          if (ck != ContainerType::Kind::Map) invariant("map op on a container that is not a map");
          prop = int32_t(t.keys.register_key(c.key));
          if (c.value) {
            v.kind = ValueKind::NestedValue;
            v.value = *c.value;
          } else {
            v.kind = ValueKind::MapDelete;
          }
        } else if constexpr (std::is_same_v<C, std::shared_ptr<const TreeOp>>) {
          if (ck != ContainerType::Kind::Tree)
            invariant("tree op on a container that is not a tree");
          v.kind = ValueKind::TreeMove;
          v.peer_idx = t.peers.register_peer(c->target.peer);
          v.subject_counter = c->target.counter;
          if (c->kind == TreeOp::Kind::Delete) {
            v.position = 0;
            v.parent = std::make_pair(uint64_t(t.peers.register_peer(kDeletedRootPeer)),
                                      kDeletedRootCounter);
          } else {
            v.position = t.positions.register_position(c->position);
            if (c->parent)
              v.parent = std::make_pair(uint64_t(t.peers.register_peer(c->parent->peer)),
                                        c->parent->counter);
          }
        } else if constexpr (std::is_same_v<C, CounterOp>) {
          if (counter_delta_is_integer(c.delta)) {
            v.kind = ValueKind::I64;
            v.i64 = int64_t(c.delta);
          } else {
            v.kind = ValueKind::F64;
            v.f64 = c.delta;
          }
        } else if constexpr (std::is_same_v<C, std::shared_ptr<const UnknownOp>>) {
          prop = c->prop;
          v = c->value;
          size_t pi = 0;
          if (v.kind == ValueKind::ElemMove || v.kind == ValueKind::ElemSet ||
              v.kind == ValueKind::TreeMove)
            v.peer_idx = t.peers.register_peer(c->peers.at(pi++));
          if (v.kind == ValueKind::TreeMove && v.parent)
            v.parent->first = t.peers.register_peer(c->peers.at(pi++));
        }
      },
      op.content);
  rows.prop.push_back(prop);
  rows.len.push_back(len);
  uint8_t kind = write_op_value(v, rows.values, t.keys);
  if (auto* u = std::get_if<std::shared_ptr<const UnknownOp>>(&op.content)) kind = (*u)->kind_byte;
  rows.kind.push_back(kind);
}

template <typename... Cols>
Bytes counted_columns(const std::vector<typename Cols::value_type>&... cols) {
  auto set = encode_columns<Cols...>(cols...);
  if (!set.ok()) invariant("column encoding failed");
  Bytes out{0x01};
  out.insert(out.end(), set->begin(), set->end());
  return out;
}

void log_block(const EncodedBlock& b) {
  using brenvik::LogLevel;
  if (!brenvik::log_enabled(LogLevel::Info)) return;
  auto line = [](std::string text) { BRENVIK_LOG(LogLevel::Info, kTarget, {"message", text}); };
  line("Diagnosing EncodedBlock:");
  line("  header " + std::to_string(b.header.size()) + " bytes");
  line("  change_meta " + std::to_string(b.change_meta.size()) + " bytes");
  line("  cids: " + std::to_string(b.cids.size()) + " bytes");
  line("  keys: " + std::to_string(b.keys.size()) + " bytes");
  line("  positions: " + std::to_string(b.positions.size()) + " bytes");
  line("  ops: " + std::to_string(b.ops.size()) + " bytes");
  line("  delete_id_starts: " + std::to_string(b.delete_id_starts.size()) + " bytes");
  line("  values: " + std::to_string(b.values.size()) + " bytes");
}

}  // namespace

bool counter_delta_is_integer(double x) {
  double a = std::fabs(x);
  if (!std::isfinite(a)) return false;
  double t = std::trunc(a);
  return t <= 134217727.0 && a - t < std::numeric_limits<double>::epsilon();
}

Bytes encode_change_block(const std::vector<Change>& changes, const SharedArena& arena) {
  if (changes.empty()) invariant("Empty block");
  Tables t;
  t.peers.register_peer(changes.front().id.peer);
  // Positions first, in byte order, so that their indices follow that order.
  std::vector<Bytes> positions;
  for (const Change& c : changes)
    for (const Op& op : c.ops)
      if (auto* tr = std::get_if<std::shared_ptr<const TreeOp>>(&op.content))
        if ((*tr)->kind != TreeOp::Kind::Delete) positions.push_back((*tr)->position);
  auto less = [](const Bytes& a, const Bytes& b) { return compare_bytes(a, b) < 0; };
  auto same = [](const Bytes& a, const Bytes& b) { return compare_bytes(a, b) == 0; };
  std::sort(positions.begin(), positions.end(), less);
  positions.erase(std::unique(positions.begin(), positions.end(), same), positions.end());
  for (const Bytes& p : positions) t.positions.register_position(p);

  Rows rows;
  for (const Change& c : changes)
    for (const Op& op : c.ops) encode_op(op, arena, t, rows);

  Bytes cids = encode_containers(t.containers.ids(), t.keys, t.peers);
  Bytes keys = encode_keys(t.keys.keys());
  Bytes pos = encode_positions(t.positions.positions());
  Bytes ops =
      counted_columns<DeltaRleColumn<uint32_t>, DeltaRleColumn<int32_t>, AnyRleColumn<uint8_t>,
                      AnyRleColumn<uint32_t>>(rows.container, rows.prop, rows.kind, rows.len);
  Bytes dels;
  if (!rows.del_peer.empty())
    dels =
        counted_columns<DeltaRleColumn<uint64_t>, DeltaRleColumn<int32_t>, DeltaRleColumn<int64_t>>(
            rows.del_peer, rows.del_counter, rows.del_len);
  auto [header, meta] = encode_block_meta(changes, t.peers);

  const Change& first = changes.front();
  const Change& last = changes.back();
  EncodedBlock b;
  b.counter_start = uint32_t(first.id.counter);
  b.counter_span = uint32_t(last.id.counter) + last.atom_len() - uint32_t(first.id.counter);
  b.lamport_start = first.lamport;
  b.lamport_span = last.lamport + last.atom_len() - first.lamport;
  b.change_count = uint32_t(changes.size());
  b.header = header;
  b.change_meta = meta;
  b.cids = cids;
  b.keys = keys;
  b.positions = pos;
  b.ops = ops;
  b.delete_id_starts = dels;
  b.values = rows.values;
  log_block(b);
  Bytes out;
  write_encoded_block(b, out);
  return out;
}

KesuResult<std::shared_ptr<const ChangeBlockHeader>> read_block_header(ByteView bytes) {
  auto b = parse_encoded_block(bytes);
  if (!b.ok()) return brenvik::Err(std::move(b).error());
  return decode_block_meta(*b);
}

namespace {

KesuError columnar(const SerdeError& e) {
  return KesuError::from_columnar(ColumnarError::serialize(e));
}

// Opens the counted record of one framed column set with `n` columns.
KesuResult<std::vector<ByteView>> open_counted_columns(ByteView field, size_t n) {
  ByteReader r(field);
  auto fc = read_row_field_count(r, 1);
  if (!fc.ok()) return brenvik::Err(columnar(fc.error()));
  auto views = read_column_set(r, n);
  if (!views.ok()) return brenvik::Err(columnar(views.error()));
  return std::move(views).value();
}

// One streaming column read; a column error ends the decode.
template <typename T, typename D>
KesuResult<std::optional<T>> next_value(D& d) {
  auto v = d.next();
  if (!v.ok()) return brenvik::Err(KesuError::from_columnar(v.error()));
  return std::move(v).value();
}

}  // namespace

KesuResult<std::vector<ContainerID>> decode_block_containers(
    ByteView bytes, const std::shared_ptr<const ChangeBlockHeader>& given) {
  using brenvik::Err;
  std::shared_ptr<const ChangeBlockHeader> header = given;
  if (!header) {
    auto h = read_block_header(bytes);
    if (!h.ok()) return Err(std::move(h).error());
    header = std::move(h).value();
  }
  if (auto cached = header->cached_arenas()) return cached->containers;
  auto b = parse_encoded_block(bytes);
  if (!b.ok()) return Err(std::move(b).error());
  auto keys = decode_keys(b->keys);
  if (!keys.ok()) return Err(std::move(keys).error());
  return decode_containers(b->cids, *keys, header->peers);
}

KesuResult<std::vector<Change>> decode_change_block(
    ByteView bytes, const std::shared_ptr<const ChangeBlockHeader>& given, SharedArena& arena) {
  using brenvik::Err;
  auto corrupt = [] { return Err(KesuError::data_corruption()); };
  std::shared_ptr<const ChangeBlockHeader> header = given;
  if (!header) {
    auto h = read_block_header(bytes);
    if (!h.ok()) return Err(std::move(h).error());
    header = std::move(h).value();
  }
  auto eb = parse_encoded_block(bytes);
  if (!eb.ok()) return Err(std::move(eb).error());
  const EncodedBlock& b = *eb;
  const size_t n = b.change_count;
  if (header->change_count != n || header->counters.size() < n + 1 || header->lamports.size() < n ||
      header->deps.size() < n)
    return corrupt();

  auto meta = decode_change_meta(b.change_meta, n);
  if (!meta.ok()) return Err(std::move(meta).error());

  auto tables = header->cached_arenas();
  if (!tables) {
    auto keys = decode_keys(b.keys);
    if (!keys.ok()) return Err(std::move(keys).error());
    auto cids = decode_containers(b.cids, *keys, header->peers);
    if (!cids.ok()) return Err(std::move(cids).error());
    auto t = std::make_shared<ChangeBlockHeader::Arenas>();
    t->keys = std::move(keys).value();
    t->containers = std::move(cids).value();
    header->cache_arenas(t);
    tables = header->cached_arenas();
  }
  const auto& keys = tables->keys;
  const auto& cids = tables->containers;
  const auto& peers = header->peers;
  auto positions = decode_positions(b.positions);
  if (!positions.ok()) return Err(std::move(positions).error());

  auto op_views = open_counted_columns(b.ops, 4);
  if (!op_views.ok()) return Err(std::move(op_views).error());
  DeltaRleDecoder<uint32_t> col_container((*op_views)[0]);
  DeltaRleDecoder<int32_t> col_prop((*op_views)[1]);
  AnyRleDecoder<uint8_t> col_kind((*op_views)[2]);
  AnyRleDecoder<uint32_t> col_len((*op_views)[3]);
  std::optional<DeltaRleDecoder<uint64_t>> del_peer;
  std::optional<DeltaRleDecoder<int32_t>> del_counter;
  std::optional<DeltaRleDecoder<int64_t>> del_len;
  if (!b.delete_id_starts.empty()) {
    auto dv = open_counted_columns(b.delete_id_starts, 3);
    if (!dv.ok()) return Err(std::move(dv).error());
    del_peer.emplace((*dv)[0]);
    del_counter.emplace((*dv)[1]);
    del_len.emplace((*dv)[2]);
  }

  std::vector<Change> changes;
  changes.reserve(n);  // n is backed by the header's bytes
  for (size_t i = 0; i < n; ++i) {
    Change c;
    c.id = {header->peer, header->counters[i]};
    c.lamport = header->lamports[i];
    c.deps = header->deps[i];
    c.timestamp = (*meta)[i].timestamp;
    c.message = (*meta)[i].message;
    changes.push_back(std::move(c));
  }

  // Each container of the block is registered once, at its first row.
  std::vector<std::optional<ContainerIdx>> registered(cids.size());
  const size_t max_ops = kMaxOpsBase + kMaxOpsPerByte * bytes.size();
  size_t ops_made = 0, rows_read = 0;
  ByteReader values(b.values);
  size_t k = 0;
  int32_t running = header->counters[0];
  const int32_t block_end = header->counters[n];
  for (;;) {
    auto ci = next_value<uint32_t>(col_container);
    if (!ci.ok()) return Err(std::move(ci).error());
    auto pr = next_value<int32_t>(col_prop);
    if (!pr.ok()) return Err(std::move(pr).error());
    auto kd = next_value<uint8_t>(col_kind);
    if (!kd.ok()) return Err(std::move(kd).error());
    auto ln = next_value<uint32_t>(col_len);
    if (!ln.ok()) return Err(std::move(ln).error());
    if (!*ci || !*pr || !*kd || !*ln) break;  // the shortest column ends the rows
    if (++rows_read > max_ops) return corrupt();
    const uint32_t cidx = **ci;
    const int32_t prop = **pr;
    const uint8_t kind_byte = **kd;
    const uint32_t len = **ln;

    while (k < n && running >= header->counters[k + 1] && header->counters[k + 1] < block_end) ++k;
    if (running >= block_end && len > 0) return corrupt();  // more rows than the changes cover

    auto v = read_op_value(kind_byte, values, keys, header->peer, running);
    if (!v.ok()) return Err(std::move(v).error());
    if (cidx >= cids.size()) return corrupt();
    const ContainerID& cid = cids[cidx];
    const ValueKind vk = v->kind;
    auto peer_at = [&](uint64_t i) -> std::optional<PeerID> {
      if (i >= peers.size()) return std::nullopt;
      return peers[size_t(i)];
    };
    auto take_delete = [&]() -> KesuResult<OpContent> {
      if (!del_peer) return corrupt();
      auto p = next_value<uint64_t>(*del_peer);
      if (!p.ok()) return Err(std::move(p).error());
      auto c = next_value<int32_t>(*del_counter);
      if (!c.ok()) return Err(std::move(c).error());
      auto l = next_value<int64_t>(*del_len);
      if (!l.ok()) return Err(std::move(l).error());
      if (!*p || !*c || !*l) return corrupt();
      auto peer = peer_at(**p);
      if (!peer) return corrupt();
      if (**l < -int64_t(INT32_MAX) || **l > int64_t(INT32_MAX)) return corrupt();
      return OpContent(DeleteOp{ID{*peer, **c}, int64_t(prop), **l});
    };
    auto list_insert = [&]() -> KesuResult<OpContent> {
      if (v->value.type() != ValueType::List) return corrupt();
      std::vector<KesuValue> items(v->value.as_list().begin(), v->value.as_list().end());
      auto [s, e] = arena.alloc_values(std::move(items));
      return OpContent(ListInsertOp{s, e, uint32_t(prop)});
    };

    // Stays empty when the value kind does not fit the container's kind.
    std::optional<KesuResult<OpContent>> content;
    switch (cid.container_type().kind()) {
      case ContainerType::Kind::Text:
        if (vk == ValueKind::Null) {
          content.emplace(OpContent(StyleEndOp{}));
        } else if (vk == ValueKind::Str) {
          auto t = arena.alloc_str(brenvik::as_chars(v->bytes));
          content =
              OpContent(TextInsertOp{t.bytes, t.unicode_start, t.unicode_len, uint32_t(prop)});
        } else if (vk == ValueKind::SeqDelete) {
          content.emplace(take_delete());
        } else if (vk == ValueKind::StyleStart) {
          uint32_t end;
          if (__builtin_add_overflow(uint32_t(prop), v->len, &end)) return corrupt();
          content.emplace(OpContent(StyleStartOp{uint32_t(prop), end, v->key, v->value, v->info}));
        }
        break;
      case ContainerType::Kind::Map:
        if (vk == ValueKind::MapDelete || vk == ValueKind::NestedValue) {
          if (prop < 0 || size_t(prop) >= keys.size()) return corrupt();
          MapSetOp m{keys[size_t(prop)], std::nullopt};
          if (vk == ValueKind::NestedValue) m.value = v->value;
          content.emplace(OpContent(std::move(m)));
        }
        break;
      case ContainerType::Kind::List:
        if (vk == ValueKind::SeqDelete) content.emplace(take_delete());
        if (vk == ValueKind::NestedValue) content.emplace(list_insert());
        break;
      case ContainerType::Kind::MovableList:
        if (vk == ValueKind::SeqDelete) content.emplace(take_delete());
        if (vk == ValueKind::NestedValue) content.emplace(list_insert());
        if (vk == ValueKind::ElemMove || vk == ValueKind::ElemSet) {
          auto peer = peer_at(v->peer_idx);
          if (!peer) return corrupt();
          IdLp elem{v->lamport, *peer};
          if (vk == ValueKind::ElemMove)
            content.emplace(OpContent(ListMoveOp{v->from, elem, uint32_t(prop)}));
          else
            content.emplace(OpContent(ListSetOp{elem, v->value}));
        }
        break;
      case ContainerType::Kind::Tree:
        if (vk == ValueKind::TreeMove) {
          auto subject_peer = peer_at(v->peer_idx);
          if (!subject_peer) return corrupt();
          auto op = std::make_shared<TreeOp>();
          op->target = TreeID{*subject_peer, v->subject_counter};
          std::optional<TreeID> parent;
          if (v->parent) {
            auto pp = peer_at(v->parent->first);
            if (!pp) return corrupt();
            parent = TreeID{*pp, v->parent->second};
          }
          if (parent && parent->peer == kDeletedRootPeer &&
              parent->counter == kDeletedRootCounter) {
            op->kind = TreeOp::Kind::Delete;
          } else {
            if (v->position >= positions->size()) return corrupt();
            op->position = (*positions)[size_t(v->position)];
            op->parent = parent;
            op->kind = (op->target.peer == header->peer && op->target.counter == running)
                           ? TreeOp::Kind::Create
                           : TreeOp::Kind::Move;
          }
          content.emplace(OpContent(std::shared_ptr<const TreeOp>(std::move(op))));
        }
        break;
      case ContainerType::Kind::Counter:
        if (vk == ValueKind::I64) content.emplace(OpContent(CounterOp{double(v->i64)}));
        if (vk == ValueKind::F64) content.emplace(OpContent(CounterOp{v->f64}));
        break;
      case ContainerType::Kind::Unknown: {
        UnknownOp u;
        u.prop = prop;
        u.kind_byte = kind_byte;
        u.value = std::move(v).value();
        if (vk == ValueKind::ElemMove || vk == ValueKind::ElemSet || vk == ValueKind::TreeMove) {
          auto p = peer_at(u.value.peer_idx);
          if (!p) return corrupt();
          u.peers.push_back(*p);
        }
        if (vk == ValueKind::TreeMove && u.value.parent) {
          auto p = peer_at(u.value.parent->first);
          if (!p) return corrupt();
          u.peers.push_back(*p);
        }
        if (!u.value.bytes.empty()) {
          auto owned = std::make_shared<const Bytes>(u.value.bytes.begin(), u.value.bytes.end());
          u.value.bytes = ByteView(*owned);
          u.owned = std::move(owned);
        }
        content.emplace(OpContent(std::make_shared<const UnknownOp>(std::move(u))));
        break;
      }
    }
    if (!content) return corrupt();
    if (!content->ok()) return Err(std::move(*content).error());
    // A row's length must be its op's: otherwise the counters of the ops
    // that follow would not be the ones the block announces.
    if (content_atom_len(**content) != len) return corrupt();
    int32_t next;
    if (__builtin_add_overflow(running, int32_t(len), &next) || int32_t(len) < 0) return corrupt();
    if (k >= n || next > header->counters[k + 1]) return corrupt();  // an op across changes
    if (!registered[cidx]) registered[cidx] = arena.register_container(cid);
    if (!push_op(changes[k].ops, Op{running, *registered[cidx], std::move(**content)})) {
      if (++ops_made > max_ops) return corrupt();
    }
    running = next;
  }
  // Ops in different changes may create containers: let the arena know
  // their parents.
  for (const Change& c : changes)
    for (const Op& op : c.ops)
      visit_created_containers(op, arena, [&](const ContainerID& child) {
        arena.set_parent(arena.register_container(child), op.container);
      });
  return changes;
}

}  // namespace kesu
