// GCC 12 reports a false -Wrestrict on "literal" + std::string temporaries
// at -O2 and above (GCC PR 105329); the concatenations here are ordinary.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
#include "kesu/common/error.h"

#include <execinfo.h>

#include <cstdlib>

namespace kesu {

namespace {
std::string num(uint64_t v) {
  return std::to_string(v);
}

std::string containers_debug(const std::vector<ContainerID>& cs) {
  std::string s = "[";
  for (size_t i = 0; i < cs.size(); ++i) {
    if (i) s += ", ";
    s += cs[i].debug();
  }
  return s + "]";
}
}  // namespace

std::string KesuTreeError::message() const {
  switch (kind_) {
    case KesuTreeErrorKind::CyclicMoveError:
      return "`Cycle move` occurs when moving tree nodes.";
    case KesuTreeErrorKind::InvalidParent:
      return "The provided parent id is invalid";
    case KesuTreeErrorKind::TreeNodeParentNotFound:
      return "The parent of tree node is not found " + tree_.debug();
    case KesuTreeErrorKind::TreeNodeNotExist:
      return "TreeID " + tree_.debug() + " doesn't exist";
    case KesuTreeErrorKind::IndexOutOfBound:
      return "The index(" + num(index_) + ") should be <= the length of children (" + num(len_) +
             ")";
    case KesuTreeErrorKind::FractionalIndexNotEnabled:
      return "Fractional index is not enabled, you should enable it first by "
             "`KesuTree::set_enable_fractional_index`";
    case KesuTreeErrorKind::TreeNodeDeletedOrNotExist:
      return "TreeID " + tree_.debug() + " is deleted or does not exist";
  }
  return {};
}

std::string KesuTreeError::debug() const {
  switch (kind_) {
    case KesuTreeErrorKind::CyclicMoveError:
      return "CyclicMoveError";
    case KesuTreeErrorKind::InvalidParent:
      return "InvalidParent";
    case KesuTreeErrorKind::TreeNodeParentNotFound:
      return "TreeNodeParentNotFound(" + tree_.debug() + ")";
    case KesuTreeErrorKind::TreeNodeNotExist:
      return "TreeNodeNotExist(" + tree_.debug() + ")";
    case KesuTreeErrorKind::IndexOutOfBound:
      return "IndexOutOfBound { len: " + num(len_) + ", index: " + num(index_) + " }";
    case KesuTreeErrorKind::FractionalIndexNotEnabled:
      return "FractionalIndexNotEnabled";
    case KesuTreeErrorKind::TreeNodeDeletedOrNotExist:
      return "TreeNodeDeletedOrNotExist(" + tree_.debug() + ")";
  }
  return {};
}

KesuError KesuError::from_columnar(const ColumnarError& c) {
  switch (c.kind()) {
    case ColumnarErrorKind::ColumnarDecodeError:
    case ColumnarErrorKind::RleEncodeError:
    case ColumnarErrorKind::RleDecodeError:
    case ColumnarErrorKind::OverflowError:
      return decode("Failed to decode Columnar: " + c.message());
    case ColumnarErrorKind::SerializeError:
    case ColumnarErrorKind::ColumnarEncodeError:
    case ColumnarErrorKind::InvalidStrategy:
    case ColumnarErrorKind::IOError:
    case ColumnarErrorKind::Unknown:
      return unknown(c.message());
  }
  return unknown(c.message());
}

std::string KesuError::message() const {
  using K = KesuErrorKind;
  switch (kind_) {
    case K::UnmatchedContext:
      return "Context's client_id(" + num(b_) + ") does not match Container's client_id(" +
             num(a_) + ")";
    case K::DecodeVersionVectorError:
      return "Decode error: Version vector error. Please provide correct version.";
    case K::DecodeError:
      return "Decode error: (" + text_ + ")";
    case K::DecodeDataCorruptionError:
      return "Decode error: The data is either corrupted or originates from an older version "
             "that is incompatible due to a breaking change.";
    case K::DecodeChecksumMismatchError:
      return "Decode error: Checksum mismatch. The data is corrupted.";
    case K::IncompatibleFutureEncodingError:
      return "Decode error: Encoding version \"" + num(a_) +
             "\" is incompatible. Kesu's encoding is backward compatible but not forward "
             "compatible. Please upgrade the version of Kesu to support this version of the "
             "exported data.";
    case K::JsError:
      return "Js error (" + text_ + ")";
    case K::LockError:
      return "Cannot get lock or the lock is poisoned";
    case K::DuplicatedTransactionError:
      return "Each AppState can only have one transaction at a time";
    case K::NotFoundError:
      return "Cannot find (" + text_ + ")";
    case K::TransactionError:
      return "Transaction error (" + text_ + ")";
    case K::OutOfBound:
      return "Index out of bound. The given pos is " + num(a_) + ", but the length is " + num(b_) +
             ". " + text_;
    case K::UsedOpID:
      return "Every op id should be unique. ID " + id_.to_string() +
             " has been used. You should use a new PeerID to edit the content. ";
    case K::ConcurrentOpsWithSamePeerID:
      return "Concurrent ops with the same peer id is not allowed. PeerID: " + num(a_) +
             ", LastCounter: " + std::to_string(c1_) + ", CurrentCounter: " + std::to_string(c2_);
    case K::TreeError:
      return "Movable Tree Error: " + tree_.front().message();
    case K::ArgErr:
      return "Invalid argument (" + text_ + ")";
    case K::AutoCommitNotStarted:
      return "Auto commit has not started. The doc is readonly when detached and detached "
             "editing is not enabled.";
    case K::StyleConfigMissing:
      return "Style configuration missing for \"(" + key_.debug() +
             ")\". Please provide the style configuration using `configTextStyle` on your Kesu "
             "doc.";
    case K::Unknown:
      return "Unknown Error (" + text_ + ")";
    case K::FrontiersNotFound:
      return "The given ID (" + id_.to_string() + ") is not contained by the doc";
    case K::ImportWhenInTxn:
      return "Cannot import when the doc is in a transaction";
    case K::MisuseDetachedContainer:
      return "The given method (" + text_ +
             ") is not allowed when the container is detached. You should insert the container "
             "to the doc first.";
    case K::NotImplemented:
      return "Not implemented: " + text_;
    case K::ReattachAttachedContainer:
      return "Reattach a container that is already attached";
    case K::EditWhenDetached:
      return "Edit is not allowed when the doc is in the detached mode.";
    case K::UndoInvalidIdSpan:
      return "The given ID (" + id_.to_string() + ") is not contained by the doc";
    case K::UndoWithDifferentPeerId:
      return "PeerID cannot be changed. Expected: " + num(a_) + ", Actual: " + num(b_);
    case K::UndoGroupAlreadyStarted:
      return "There is already an active undo group, call `group_end` first";
    case K::InvalidJsonSchema:
      return "There is no active undo group, call `group_start` first";
    case K::UTF8InUnicodeCodePoint:
      return "Cannot insert or delete utf-8 in the middle of the codepoint in Unicode";
    case K::UTF16InUnicodeCodePoint:
      return "Cannot insert or delete utf-16 in the middle of the codepoint in Unicode";
    case K::EndIndexLessThanStartIndex:
      return "The end index cannot be less than the start index";
    case K::InvalidRootContainerName:
      return "Invalid root container name! Don't include '/' or '\\0'";
    case K::ImportUpdatesThatDependsOnOutdatedVersion:
      return "Import Failed: The dependencies of the importing updates are not included in the "
             "shallow history of the doc.";
    case K::SwitchToVersionBeforeShallowRoot:
      return "You cannot switch a document to a version before the shallow history's start "
             "version.";
    case K::ContainerDeleted:
      return "The container " + containers_.front().to_string() +
             " is deleted. You cannot apply the op on a deleted container.";
    case K::InvalidPeerID:
      return "You cannot set the `PeerID` with `PeerID::MAX`, which is an internal specific value";
    case K::ContainersNotFound:
      return "The containers " + containers_debug(containers_) + " are not found in the doc";
    case K::ImportUnsupportedEncodingMode:
      return "Import failed: Deprecated encoding mode";
  }
  return {};
}

std::string KesuError::debug() const {
  using K = KesuErrorKind;
  auto q = [](const std::string& s) { return debug_quote(s); };
  auto id_debug = [](ID id) {
    return "ID { peer: " + num(id.peer) + ", counter: " + std::to_string(id.counter) + " }";
  };
  switch (kind_) {
    case K::UnmatchedContext:
      return "UnmatchedContext { expected: " + num(a_) + ", found: " + num(b_) + " }";
    case K::DecodeVersionVectorError:
      return "DecodeVersionVectorError";
    case K::DecodeError:
      return "DecodeError(" + q(text_) + ")";
    case K::DecodeDataCorruptionError:
      return "DecodeDataCorruptionError";
    case K::DecodeChecksumMismatchError:
      return "DecodeChecksumMismatchError";
    case K::IncompatibleFutureEncodingError:
      return "IncompatibleFutureEncodingError(" + num(a_) + ")";
    case K::JsError:
      return "JsError(" + q(text_) + ")";
    case K::LockError:
      return "LockError";
    case K::DuplicatedTransactionError:
      return "DuplicatedTransactionError";
    case K::NotFoundError:
      return "NotFoundError(" + q(text_) + ")";
    case K::TransactionError:
      return "TransactionError(" + q(text_) + ")";
    case K::OutOfBound:
      return "OutOfBound { pos: " + num(a_) + ", len: " + num(b_) + ", info: " + q(text_) + " }";
    case K::UsedOpID:
      return "UsedOpID { id: " + id_debug(id_) + " }";
    case K::ConcurrentOpsWithSamePeerID:
      return "ConcurrentOpsWithSamePeerID { peer: " + num(a_) +
             ", last_counter: " + std::to_string(c1_) + ", current: " + std::to_string(c2_) + " }";
    case K::TreeError:
      return "TreeError(" + tree_.front().debug() + ")";
    case K::ArgErr:
      return "ArgErr(" + q(text_) + ")";
    case K::AutoCommitNotStarted:
      return "AutoCommitNotStarted";
    case K::StyleConfigMissing:
      return "StyleConfigMissing(" + key_.debug() + ")";
    case K::Unknown:
      return "Unknown(" + q(text_) + ")";
    case K::FrontiersNotFound:
      return "FrontiersNotFound(" + id_debug(id_) + ")";
    case K::ImportWhenInTxn:
      return "ImportWhenInTxn";
    case K::MisuseDetachedContainer:
      return "MisuseDetachedContainer { method: " + q(text_) + " }";
    case K::NotImplemented:
      return "NotImplemented(" + q(text_) + ")";
    case K::ReattachAttachedContainer:
      return "ReattachAttachedContainer";
    case K::EditWhenDetached:
      return "EditWhenDetached";
    case K::UndoInvalidIdSpan:
      return "UndoInvalidIdSpan(" + id_debug(id_) + ")";
    case K::UndoWithDifferentPeerId:
      return "UndoWithDifferentPeerId { expected: " + num(a_) + ", actual: " + num(b_) + " }";
    case K::UndoGroupAlreadyStarted:
      return "UndoGroupAlreadyStarted";
    case K::InvalidJsonSchema:
      return "InvalidJsonSchema";
    case K::UTF8InUnicodeCodePoint:
      return "UTF8InUnicodeCodePoint { pos: " + num(a_) + " }";
    case K::UTF16InUnicodeCodePoint:
      return "UTF16InUnicodeCodePoint { pos: " + num(a_) + " }";
    case K::EndIndexLessThanStartIndex:
      return "EndIndexLessThanStartIndex { start: " + num(a_) + ", end: " + num(b_) + " }";
    case K::InvalidRootContainerName:
      return "InvalidRootContainerName";
    case K::ImportUpdatesThatDependsOnOutdatedVersion:
      return "ImportUpdatesThatDependsOnOutdatedVersion";
    case K::SwitchToVersionBeforeShallowRoot:
      return "SwitchToVersionBeforeShallowRoot";
    case K::ContainerDeleted:
      return "ContainerDeleted { container: " + containers_.front().debug() + " }";
    case K::InvalidPeerID:
      return "InvalidPeerID";
    case K::ContainersNotFound:
      return "ContainersNotFound { containers: " + containers_debug(containers_) + " }";
    case K::ImportUnsupportedEncodingMode:
      return "ImportUnsupportedEncodingMode";
  }
  return {};
}

KesuEncodeError KesuEncodeError::from(const KesuError& e) {
  switch (e.kind()) {
    case KesuErrorKind::NotFoundError:
      return of(KesuEncodeErrorKind::FrontiersNotFound, e.text());
    case KesuErrorKind::FrontiersNotFound:
      return of(KesuEncodeErrorKind::FrontiersNotFound, e.id().to_string());
    case KesuErrorKind::Unknown:
      return of(KesuEncodeErrorKind::InternalError, e.text());
    default:
      return of(KesuEncodeErrorKind::InternalError, e.message());
  }
}

std::string KesuEncodeError::message() const {
  switch (kind_) {
    case KesuEncodeErrorKind::FrontiersNotFound:
      return "The frontiers are not found in this doc: " + text_;
    case KesuEncodeErrorKind::ShallowSnapshotIncompatibleWithOldFormat:
      return "Shallow snapshot incompatible with old snapshot format. Use new snapshot format or "
             "avoid shallow snapshots for storage.";
    case KesuEncodeErrorKind::UnknownContainer:
      return "Cannot export shallow snapshot with unknown container type. Please upgrade the "
             "Kesu version.";
    case KesuEncodeErrorKind::InternalError:
      return "Export failed: " + text_;
  }
  return {};
}

std::string located_message(std::string_view message, std::source_location loc) {
  std::string s(message);
  s += " at ";
  s += loc.file_name();
  s += ":" + std::to_string(loc.line()) + ":" + std::to_string(loc.column());
  const char* env = std::getenv("BRENVIK_BACKTRACE");
  if (env && *env && std::string_view(env) != "0") {
    void* frames[64];
    int n = backtrace(frames, 64);
    char** names = backtrace_symbols(frames, n);
    s += "\nBacktrace:\n";
    for (int i = 0; i < n; ++i) {
      s += names ? names[i] : "?";
      if (i + 1 < n) s += "\n";
    }
    std::free(names);
  }
  s.shrink_to_fit();
  return s;
}

}  // namespace kesu
