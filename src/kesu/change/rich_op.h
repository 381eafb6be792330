// RichOp: an op with its change's context (peer, Lamport of its first atom,
// timestamp) and a range of its atoms that a reader is interested in.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>

#include "kesu/common/internal_error.h"
#include "kesu/change/op.h"

namespace kesu {

class RichOp {
 public:
  // `op` is borrowed: it must outlive the RichOp (a stored change's op).
  RichOp(const Op& op, PeerID peer, Lamport lamport, int64_t timestamp, uint32_t start,
         uint32_t end)
      : op_(&op), peer_(peer), lamport_(lamport), timestamp_(timestamp), start_(start), end_(end) {}
  // An op the RichOp owns.
  RichOp(Op&& op, PeerID peer, Lamport lamport, int64_t timestamp, uint32_t start, uint32_t end)
      : op_(std::move(op)),
        peer_(peer),
        lamport_(lamport),
        timestamp_(timestamp),
        start_(start),
        end_(end) {}

  const Op& raw_op() const { return op_.index() == 0 ? *std::get<0>(op_) : std::get<1>(op_); }
  bool is_whole() const { return start_ == 0 && end_ == raw_op().atom_len(); }
  // The whole op when the range covers it (no copy), else its slice; an
  // end past the op's atoms is an internal error (thrown).
  const Op& op() const {
    if (is_whole()) return raw_op();
    if (end_ > raw_op().atom_len() || start_ > end_)
      throw InternalError("assertion failed: to <= self.atom_len()");
    if (!slice_) slice_ = std::make_shared<const Op>(raw_op().slice(start_, end_));
    return *slice_;
  }

  PeerID peer() const { return peer_; }
  Lamport lamport() const { return lamport_; }
  int64_t timestamp() const { return timestamp_; }
  uint32_t start() const { return start_; }
  uint32_t end() const { return end_; }

 private:
  std::variant<const Op*, Op> op_;
  PeerID peer_;
  Lamport lamport_;
  int64_t timestamp_;
  uint32_t start_, end_;
  mutable std::shared_ptr<const Op> slice_;
};

}  // namespace kesu
