// Errors of the sorted-table reader and the store's import.
//
// These mirror two variants of the engine's error (a decode error carrying a
// message, and a checksum mismatch) with the same display texts, so that they
// can be folded into the engine-wide error type without changing any text.
#pragma once

#include <cstdint>
#include <string>

namespace kesu {

enum class KvErrorKind : uint8_t {
  DecodeError,                  // carries a message
  DecodeChecksumMismatchError,  // no payload
};

struct KvError {
  KvErrorKind kind;
  std::string message;  // empty for a checksum mismatch

  static KvError decode(std::string msg) { return {KvErrorKind::DecodeError, std::move(msg)}; }
  static KvError invalid_bytes() { return decode("Invalid bytes"); }
  static KvError checksum_mismatch() { return {KvErrorKind::DecodeChecksumMismatchError, {}}; }

  // The engine's display text of the error.
  std::string to_string() const {
    switch (kind) {
      case KvErrorKind::DecodeError:
        return "Decode error: (" + message + ")";
      case KvErrorKind::DecodeChecksumMismatchError:
        return "Decode error: Checksum mismatch. The data is corrupted.";
    }
    return "Decode error: (unknown)";
  }

  friend bool operator==(const KvError&, const KvError&) = default;
};

}  // namespace kesu
