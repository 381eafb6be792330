// IoError, the failure of one file-system step, and FileStoreError, the
// error of opening and maintaining the file stores, with their messages.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace brenvik::store {

struct IoError {
  int code = 0;      // errno, or EEXIST/EIO for the two texts of our own
  std::string text;  // what the host reads

  static IoError from_errno(int e);
  static IoError custom(int e, std::string text) { return IoError{e, std::move(text)}; }
};

// A path as text: bytes that are not UTF-8 become U+FFFD.
std::string display_path(const std::string& path);

struct FileStoreError {
  enum class Kind : uint8_t {
    InvalidNamespace,
    Io,
    KeyUnavailable,
    WrongKey,
    KeyCheckUnproven,
    Locked,
    Closed,
    RecordKeyUnreadable,
    RootsOverlap,
    StateWithoutIdentity,
    StateOfAnotherIdentity,
  };
  Kind kind;
  std::string path;   // the path or text the variant carries
  std::string path2;  // the second root, where a variant carries two
  IoError io;         // for Io

  static FileStoreError invalid_namespace() { return {Kind::InvalidNamespace, {}, {}, {}}; }
  static FileStoreError io_error(std::string path, IoError e) {
    return {Kind::Io, std::move(path), {}, std::move(e)};
  }
  static FileStoreError of(Kind k, std::string a = {}, std::string b = {}) {
    return {k, std::move(a), std::move(b), {}};
  }

  std::string message() const;
};

}  // namespace brenvik::store
