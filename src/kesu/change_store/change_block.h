// ChangeBlock: a run of consecutive changes of one peer, the unit in which
// the change store keeps history. A block holds its parsed changes, its
// encoded bytes with their decoded header, or both. Blocks are shared by
// reference between the store and its readers and never changed in place
// while shared: the static operations below take the caller's handle and
// copy the block first when another holder exists.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kesu/change_store/block_header.h"
#include "kesu/kv_store/shared_bytes.h"
#include "kesu/change/change.h"
#include "kesu/shared_arena/shared_arena.h"

namespace kesu {

// The encoded form of a block and its header, decoded when the bytes were
// made or read.
struct ChangeBlockBytes {
  SharedBytes bytes;
  std::shared_ptr<const ChangeBlockHeader> header;
};

// What the causal graph keeps per change: a run of one peer's ops with the
// dependencies of its first op.
struct DagNodeInfo {
  PeerID peer = 0;
  Counter cnt = 0;
  Lamport lamport = 0;
  Frontiers deps;
  uint32_t len = 0;
  bool operator==(const DagNodeInfo&) const = default;
};

class ChangeBlock;
using ChangeBlockPtr = std::shared_ptr<ChangeBlock>;

class ChangeBlock {
 public:
  // Decodes the header at once; the changes wait until parse().
  static KesuResult<ChangeBlockPtr> from_bytes(SharedBytes bytes);
  // A new block holding one change, not yet stored.
  static ChangeBlockPtr new_block(Change change, size_t estimated_size);

  // Makes the block hold parsed changes (decoding its bytes with `arena`).
  // A decoding error leaves the block as it was.
  static KesuResult<void> parse(ChangeBlockPtr& handle, SharedArena& arena);
  // The encoded form; the block then holds bytes only.
  static ChangeBlockBytes to_bytes(ChangeBlockPtr& handle, const SharedArena& arena);
  // A private copy when the handle is shared.
  static ChangeBlock& make_mut(ChangeBlockPtr& handle);

  // The Lamport start of encoded bytes, reading only the leading integers.
  static KesuResult<Lamport> lamport_start_of(ByteView bytes);

  PeerID peer() const { return peer_; }
  std::pair<Counter, Counter> counter_range() const { return counter_range_; }
  std::pair<Lamport, Lamport> lamport_range() const { return lamport_range_; }
  size_t estimated_size() const { return estimated_size_; }
  bool flushed() const { return flushed_; }
  bool is_parsed() const { return changes_ != nullptr; }
  bool has_bytes() const { return bytes_.has_value(); }
  ID id() const { return {peer_, counter_range_.first}; }
  bool contains(ID id) const {
    return id.peer == peer_ && id.counter >= counter_range_.first &&
           id.counter < counter_range_.second;
  }

  // REQUIRES: is_parsed().
  const std::vector<Change>& changes() const;
  const std::optional<ChangeBlockBytes>& bytes() const { return bytes_; }

  // (found, i): change i holds the counter; (false, i): insertion position.
  // REQUIRES: is_parsed().
  std::pair<bool, size_t> change_index_by_counter(Counter c) const;
  // The last change whose Lamport is at or below `l`. REQUIRES: is_parsed().
  std::optional<size_t> change_index_by_lamport_lte(Lamport l) const;

  // One node per change, in counter order, from either form.
  std::vector<DagNodeInfo> to_dag_nodes() const;

  // Mutation by the store (on a handle made exclusive by make_mut).
  // Drops the bytes and makes the change list private; REQUIRES: is_parsed().
  std::vector<Change>& changes_mut();
  void set_flushed(bool f) { flushed_ = f; }
  void extend_to(Counter counter_end, Lamport lamport_end) {
    counter_range_.second = counter_end;
    lamport_range_.second = lamport_end;
  }
  void add_estimated_size(size_t n) { estimated_size_ += n; }
  // Takes in the Lamports of changes appended through changes_mut().
  void sync_lamports();

 private:
  PeerID peer_ = 0;
  std::pair<Counter, Counter> counter_range_;
  std::pair<Lamport, Lamport> lamport_range_;
  size_t estimated_size_ = 0;
  bool flushed_ = false;
  std::shared_ptr<const std::vector<Change>> changes_;
  // The Lamport of each parsed change, searched without touching the
  // changes themselves (one cache line serves many probes).
  std::vector<Lamport> lamports_;
  std::optional<ChangeBlockBytes> bytes_;
};

// A parsed block and the index of one of its changes.
struct BlockChangeRef {
  std::shared_ptr<const ChangeBlock> block;
  size_t index = 0;
  const Change& change() const { return block->changes()[index]; }
};

}  // namespace kesu
