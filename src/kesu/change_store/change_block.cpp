#include "kesu/change_store/change_block.h"

#include <algorithm>

#include "kesu/change_store/block_encode.h"
#include "kesu/columnar/varint.h"
#include "kesu/common/internal_error.h"

namespace kesu {

KesuResult<ChangeBlockPtr> ChangeBlock::from_bytes(SharedBytes bytes) {
  using brenvik::Err;
  auto h = read_block_header(bytes.view());
  if (!h.ok()) return Err(std::move(h).error());
  const auto& header = **h;
  if (header.counters.size() < 2)
    return Err(KesuError::decode("Decode block error: missing counters"));
  if (header.lamports.empty())
    return Err(KesuError::decode("Decode block error: missing lamports"));
  Lamport last = header.lamports.back();
  uint32_t last_len =
      uint32_t(header.counters.back()) - uint32_t(header.counters[header.counters.size() - 2]);
  Lamport end = last + last_len;
  if (end < last) return Err(KesuError::decode("Decode block error: lamport overflow"));
  auto b = std::make_shared<ChangeBlock>();
  b->peer_ = header.peer;
  b->counter_range_ = {header.counter, header.counters.back()};
  b->lamport_range_ = {header.lamports.front(), end};
  b->estimated_size_ = bytes.size();
  b->flushed_ = true;
  b->bytes_ = ChangeBlockBytes{std::move(bytes), std::move(h).value()};
  return b;
}

ChangeBlockPtr ChangeBlock::new_block(Change change, size_t estimated_size) {
  auto b = std::make_shared<ChangeBlock>();
  uint32_t len = change.atom_len();
  b->peer_ = change.id.peer;
  b->counter_range_ = {change.id.counter, Counter(change.id.counter + int32_t(len))};
  b->lamport_range_ = {change.lamport, change.lamport + len};
  b->estimated_size_ = estimated_size;
  b->flushed_ = false;
  b->lamports_ = {change.lamport};
  b->changes_ = std::make_shared<const std::vector<Change>>(std::vector<Change>{std::move(change)});
  return b;
}

ChangeBlock& ChangeBlock::make_mut(ChangeBlockPtr& handle) {
  if (handle.use_count() > 1) handle = std::make_shared<ChangeBlock>(*handle);
  return *handle;
}

KesuResult<void> ChangeBlock::parse(ChangeBlockPtr& handle, SharedArena& arena) {
  if (handle->changes_) return {};
  if (!handle->bytes_) throw InternalError("change block holds neither changes nor bytes");
  auto changes = decode_change_block(handle->bytes_->bytes.view(), handle->bytes_->header, arena);
  if (!changes.ok()) return brenvik::Err(std::move(changes).error());
  ChangeBlock& b = make_mut(handle);
  b.changes_ = std::make_shared<const std::vector<Change>>(std::move(changes).value());
  b.lamports_.clear();
  b.sync_lamports();
  return {};
}

ChangeBlockBytes ChangeBlock::to_bytes(ChangeBlockPtr& handle, const SharedArena& arena) {
  if (handle->bytes_) {
    ChangeBlockBytes out = *handle->bytes_;
    if (handle->changes_) {
      ChangeBlock& b = make_mut(handle);
      b.changes_.reset();
      b.lamports_ = {};
    }
    return out;
  }
  Bytes encoded = encode_change_block(*handle->changes_, arena);
  SharedBytes shared = SharedBytes::from_vector(std::move(encoded));
  auto h = read_block_header(shared.view());
  if (!h.ok()) throw InternalError("a block just encoded does not decode: " + h.error().message());
  ChangeBlock& b = make_mut(handle);
  b.bytes_ = ChangeBlockBytes{shared, std::move(h).value()};
  b.changes_.reset();
  b.lamports_ = {};
  return *b.bytes_;
}

KesuResult<Lamport> ChangeBlock::lamport_start_of(ByteView bytes) {
  // The record starts with counter start, counter span and Lamport start.
  ByteReader r(bytes);
  auto field = [&](const char* prefix) -> KesuResult<uint64_t> {
    auto v = r.read_uvarint();
    if (!v.ok()) {
      std::string what = v.error().kind == SerdeErrorKind::UnexpectedEnd
                             ? "failed to fill whole buffer"
                             : "The number being read is larger than can be represented";
      return brenvik::Err(KesuError::decode(std::string(prefix) + what));
    }
    return *v;
  };
  auto cs = field("Failed to read counter start: ");
  if (!cs.ok()) return brenvik::Err(std::move(cs).error());
  auto cl = field("Failed to read counter length: ");
  if (!cl.ok()) return brenvik::Err(std::move(cl).error());
  auto ls = field("Failed to read lamport start: ");
  if (!ls.ok()) return brenvik::Err(std::move(ls).error());
  return Lamport(uint32_t(*ls));
}

const std::vector<Change>& ChangeBlock::changes() const {
  if (!changes_) throw InternalError("change block is not parsed");
  return *changes_;
}

std::vector<Change>& ChangeBlock::changes_mut() {
  if (!changes_) throw InternalError("change block is not parsed");
  bytes_.reset();
  if (changes_.use_count() > 1) changes_ = std::make_shared<const std::vector<Change>>(*changes_);
  return const_cast<std::vector<Change>&>(*changes_);
}

std::pair<bool, size_t> ChangeBlock::change_index_by_counter(Counter c) const {
  const auto& v = changes();
  if (v.empty() || c < v.front().id.counter) return {false, 0};
  size_t lo = 0, hi = v.size();
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (v[mid].id.counter <= c)
      lo = mid;
    else
      hi = mid;
  }
  if (int64_t(c) < int64_t(v[lo].id.counter) + v[lo].atom_len()) return {true, lo};
  return {false, lo + 1};
}

std::optional<size_t> ChangeBlock::change_index_by_lamport_lte(Lamport l) const {
  if (!changes_) throw InternalError("change block is not parsed");
  auto it = std::upper_bound(lamports_.begin(), lamports_.end(), l);
  if (it == lamports_.begin()) return std::nullopt;
  return size_t(it - lamports_.begin()) - 1;
}

void ChangeBlock::sync_lamports() {
  if (!changes_) return;
  for (size_t i = lamports_.size(); i < changes_->size(); ++i)
    lamports_.push_back((*changes_)[i].lamport);
}

std::vector<DagNodeInfo> ChangeBlock::to_dag_nodes() const {
  std::vector<DagNodeInfo> out;
  if (changes_) {
    for (const Change& c : *changes_)
      out.push_back({c.id.peer, c.id.counter, c.lamport, c.deps, c.atom_len()});
    return out;
  }
  const ChangeBlockHeader& h = *bytes_->header;
  for (size_t i = 0; i < h.change_count; ++i)
    out.push_back({h.peer, h.counters[i], h.lamports[i], h.deps[i],
                   uint32_t(h.counters[i + 1] - h.counters[i])});
  return out;
}

}  // namespace kesu
