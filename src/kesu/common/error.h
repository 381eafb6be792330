// The engine's error enums with their fixed messages. Callers above the
// engine show these messages as they are, so the texts are part of the
// interface. Kinds are listed in declared order; the numeric value of each
// kind is its position.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>
#include <vector>

#include "kesu/columnar/columnar_error.h"
#include "kesu/common/container_id.h"
#include "kesu/common/id.h"
#include "kesu/common/internal_string.h"

namespace kesu {

enum class KesuTreeErrorKind {
  CyclicMoveError,
  InvalidParent,
  TreeNodeParentNotFound,
  TreeNodeNotExist,
  IndexOutOfBound,
  FractionalIndexNotEnabled,
  TreeNodeDeletedOrNotExist,
};

class KesuTreeError {
 public:
  static KesuTreeError cyclic_move() { return KesuTreeError(KesuTreeErrorKind::CyclicMoveError); }
  static KesuTreeError invalid_parent() { return KesuTreeError(KesuTreeErrorKind::InvalidParent); }
  static KesuTreeError parent_not_found(TreeID t) {
    return with_tree(KesuTreeErrorKind::TreeNodeParentNotFound, t);
  }
  static KesuTreeError node_not_exist(TreeID t) {
    return with_tree(KesuTreeErrorKind::TreeNodeNotExist, t);
  }
  static KesuTreeError index_out_of_bound(uint64_t len, uint64_t index) {
    KesuTreeError e(KesuTreeErrorKind::IndexOutOfBound);
    e.len_ = len;
    e.index_ = index;
    return e;
  }
  static KesuTreeError fractional_index_not_enabled() {
    return KesuTreeError(KesuTreeErrorKind::FractionalIndexNotEnabled);
  }
  static KesuTreeError deleted_or_not_exist(TreeID t) {
    return with_tree(KesuTreeErrorKind::TreeNodeDeletedOrNotExist, t);
  }

  KesuTreeErrorKind kind() const { return kind_; }
  TreeID tree_id() const { return tree_; }
  std::string message() const;
  std::string debug() const;
  bool operator==(const KesuTreeError&) const = default;

 private:
  explicit KesuTreeError(KesuTreeErrorKind k) : kind_(k) {}
  static KesuTreeError with_tree(KesuTreeErrorKind k, TreeID t) {
    KesuTreeError e(k);
    e.tree_ = t;
    return e;
  }
  KesuTreeErrorKind kind_;
  TreeID tree_;
  uint64_t len_ = 0, index_ = 0;
};

enum class KesuErrorKind {
  UnmatchedContext,
  DecodeVersionVectorError,
  DecodeError,
  DecodeDataCorruptionError,
  DecodeChecksumMismatchError,
  IncompatibleFutureEncodingError,
  JsError,
  LockError,
  DuplicatedTransactionError,
  NotFoundError,
  TransactionError,
  OutOfBound,
  UsedOpID,
  ConcurrentOpsWithSamePeerID,
  TreeError,
  ArgErr,
  AutoCommitNotStarted,
  StyleConfigMissing,
  Unknown,
  FrontiersNotFound,
  ImportWhenInTxn,
  MisuseDetachedContainer,
  NotImplemented,
  ReattachAttachedContainer,
  EditWhenDetached,
  UndoInvalidIdSpan,
  UndoWithDifferentPeerId,
  UndoGroupAlreadyStarted,
  InvalidJsonSchema,
  UTF8InUnicodeCodePoint,
  UTF16InUnicodeCodePoint,
  EndIndexLessThanStartIndex,
  InvalidRootContainerName,
  ImportUpdatesThatDependsOnOutdatedVersion,
  SwitchToVersionBeforeShallowRoot,
  ContainerDeleted,
  InvalidPeerID,
  ContainersNotFound,
  ImportUnsupportedEncodingMode,
};

class KesuError {
 public:
  // Kinds without fields.
  static KesuError of(KesuErrorKind k) { return KesuError(k); }
  // Kinds whose only field is a text (DecodeError, JsError, NotFoundError,
  // TransactionError, ArgErr, Unknown, MisuseDetachedContainer, NotImplemented).
  static KesuError with_text(KesuErrorKind k, std::string text) {
    KesuError e(k);
    e.text_ = std::move(text);
    return e;
  }
  static KesuError decode(std::string text) {
    return with_text(KesuErrorKind::DecodeError, std::move(text));
  }
  static KesuError data_corruption() { return of(KesuErrorKind::DecodeDataCorruptionError); }
  static KesuError unknown(std::string text) {
    return with_text(KesuErrorKind::Unknown, std::move(text));
  }
  static KesuError unmatched_context(PeerID expected, PeerID found) {
    return with_numbers(KesuErrorKind::UnmatchedContext, expected, found);
  }
  static KesuError incompatible_future_encoding(uint64_t version) {
    return with_numbers(KesuErrorKind::IncompatibleFutureEncodingError, version, 0);
  }
  static KesuError out_of_bound(uint64_t pos, uint64_t len, std::string info) {
    KesuError e = with_numbers(KesuErrorKind::OutOfBound, pos, len);
    e.text_ = std::move(info);
    return e;
  }
  static KesuError with_id(KesuErrorKind k,
                           ID id) {  // UsedOpID, FrontiersNotFound, UndoInvalidIdSpan
    KesuError e(k);
    e.id_ = id;
    return e;
  }
  static KesuError concurrent_ops_with_same_peer(PeerID peer, Counter last, Counter current) {
    KesuError e = with_numbers(KesuErrorKind::ConcurrentOpsWithSamePeerID, peer, 0);
    e.c1_ = last;
    e.c2_ = current;
    return e;
  }
  static KesuError tree(KesuTreeError t) {
    KesuError e(KesuErrorKind::TreeError);
    e.tree_.push_back(std::move(t));
    return e;
  }
  static KesuError style_config_missing(InternalString key) {
    KesuError e(KesuErrorKind::StyleConfigMissing);
    e.key_ = std::move(key);
    return e;
  }
  static KesuError undo_with_different_peer(PeerID expected, PeerID actual) {
    return with_numbers(KesuErrorKind::UndoWithDifferentPeerId, expected, actual);
  }
  // UTF8InUnicodeCodePoint, UTF16InUnicodeCodePoint.
  static KesuError in_code_point(KesuErrorKind k, uint64_t pos) { return with_numbers(k, pos, 0); }
  static KesuError end_less_than_start(uint64_t start, uint64_t end) {
    return with_numbers(KesuErrorKind::EndIndexLessThanStartIndex, start, end);
  }
  static KesuError container_deleted(ContainerID c) {
    KesuError e(KesuErrorKind::ContainerDeleted);
    e.containers_.push_back(std::move(c));
    return e;
  }
  static KesuError containers_not_found(std::vector<ContainerID> cs) {
    KesuError e(KesuErrorKind::ContainersNotFound);
    e.containers_ = std::move(cs);
    return e;
  }
  // DecodeError("Failed to decode Columnar: " + message) for the decode
  // kinds of the codec, Unknown(message) for the others.
  static KesuError from_columnar(const ColumnarError& c);

  KesuErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  ID id() const { return id_; }
  std::string message() const;
  std::string debug() const;
  bool operator==(const KesuError& o) const { return message() == o.message() && kind_ == o.kind_; }

 private:
  explicit KesuError(KesuErrorKind k) : kind_(k) {}
  static KesuError with_numbers(KesuErrorKind k, uint64_t a, uint64_t b) {
    KesuError e(k);
    e.a_ = a;
    e.b_ = b;
    return e;
  }
  KesuErrorKind kind_;
  std::string text_;
  uint64_t a_ = 0, b_ = 0;
  Counter c1_ = 0, c2_ = 0;
  ID id_;
  std::vector<KesuTreeError> tree_;
  InternalString key_;
  std::vector<ContainerID> containers_;
};

enum class KesuEncodeErrorKind {
  FrontiersNotFound,
  ShallowSnapshotIncompatibleWithOldFormat,
  UnknownContainer,
  InternalError,
};

class KesuEncodeError {
 public:
  static KesuEncodeError of(KesuEncodeErrorKind k, std::string text = {}) {
    KesuEncodeError e;
    e.kind_ = k;
    e.text_ = std::move(text);
    return e;
  }
  // NotFoundError(t) -> FrontiersNotFound(t); FrontiersNotFound(id) ->
  // FrontiersNotFound(id text); Unknown(t) -> InternalError(t); everything
  // else -> InternalError(full message).
  static KesuEncodeError from(const KesuError& e);

  KesuEncodeErrorKind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  std::string message() const;
  bool operator==(const KesuEncodeError&) const = default;

 private:
  KesuEncodeErrorKind kind_ = KesuEncodeErrorKind::InternalError;
  std::string text_;
};

template <typename T>
using KesuResult = brenvik::Result<T, KesuError>;

// message " at " file ":" line ":" column, followed by "\nBacktrace:\n" and
// a captured trace only when BRENVIK_BACKTRACE is set to a value other than
// "0" in the environment.
std::string located_message(std::string_view message,
                            std::source_location loc = std::source_location::current());

}  // namespace kesu
