// Fatal stops of the engine's in-memory structures.
//
// A broken invariant inside the arena or the B-tree is a bug, never bad input:
// it is raised as a `kesu::InvariantViolation` carrying a fixed message text.
// The exported layer catches it like every other exception and reports it
// through the call status; nothing inside the engine catches it, and a
// structure that raised one must not be used again.
#pragma once

#include <stdexcept>
#include <string>

namespace kesu {

class InvariantViolation : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Raises an InvariantViolation with `message` as its text.
[[noreturn]] void invariant_failed(const std::string& message);
// The same for a fixed text. Kept out of line and marked cold so that the
// lookups guarded by it stay small enough to be inlined on hot paths.
[[noreturn, gnu::cold, gnu::noinline]] void invariant_failed(const char* message);

// Message texts shared by several structures.
inline constexpr const char* kMsgUnwrapNone = "called `Option::unwrap()` on a `None` value";
inline constexpr const char* kMsgUnwrapErr = "called `Result::unwrap()` on an `Err` value";
inline constexpr const char* kMsgUnreachable = "internal error: entered unreachable code";

// "internal error: entered unreachable code: <detail>"
[[noreturn]] void invariant_unreachable(const std::string& detail);

}  // namespace kesu
