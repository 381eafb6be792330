#include "store/file_store_error.h"

#include <cstring>

#include "util/utf8.h"

namespace brenvik::store {

IoError IoError::from_errno(int e) {
  return IoError{e, std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")"};
}

std::string display_path(const std::string& path) {
  if (is_valid_utf8(path)) return path;
  // Replace every byte that does not start a valid sequence by U+FFFD.
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t len = 1;
    unsigned char c = static_cast<unsigned char>(path[i]);
    if (c >= 0xF0)
      len = 4;
    else if (c >= 0xE0)
      len = 3;
    else if (c >= 0xC0)
      len = 2;
    if (i + len <= path.size() && is_valid_utf8(std::string_view(path).substr(i, len))) {
      out.append(path, i, len);
      i += len;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string FileStoreError::message() const {
  const std::string p = display_path(path);
  switch (kind) {
    case Kind::InvalidNamespace:
      return "invalid storage namespace: expected `account-` and 64 lowercase hex digits";
    case Kind::Io:
      return "store directory " + p + " is unusable: " + io.text;
    case Kind::KeyUnavailable:
      return "store key unavailable: " + path;
    case Kind::WrongKey:
      return "the store key does not open the store at " + p + "; nothing was changed";
    case Kind::KeyCheckUnproven:
      return "the store key check at " + p +
             " does not open and the store has no record to prove the key; nothing was changed. "
             "If this is the right key, remove that file to start the store afresh";
    case Kind::Locked:
      return "the store at " + p +
             " is already open elsewhere; two stores over one directory are refused";
    case Kind::Closed:
      return "the store at " + p + " is closed";
    case Kind::RecordKeyUnreadable:
      return "the protocol-state record key could not be read: " + path + "; nothing was changed";
    case Kind::RootsOverlap:
      if (path.empty() && path2.empty())
        return "mls_root and state_root must be different directories, neither inside the other: "
               "mls_root holds the identity and must survive the removal of state_root";
      return "mls_root and state_root must be different directories, neither inside the other: " +
             p + " and " + display_path(path2) +
             " are spelled apart, and on this volume one is the other or lies inside it. The "
             "stores' directories were created; no record was written or changed";
    case Kind::StateWithoutIdentity:
      return p + " holds protocol state, but " + display_path(path2) +
             " holds no identity for this account: the file stores would start a new identity (a "
             "new "
             "address) and delete the state it cannot unseal. Point state_root at a fresh "
             "directory, "
             "or restore the mls_root that wrote this state";
    case Kind::StateOfAnotherIdentity:
      return p + " holds protocol state that another identity wrote, not the one in " +
             display_path(path2) +
             ": starting would delete the queued and parked messages in it. Use the mls_root that "
             "wrote this state, or point state_root at a fresh directory. No record was changed";
  }
  return {};
}

}  // namespace brenvik::store
