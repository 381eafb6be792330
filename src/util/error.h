// Wrapping an error of a lower component under a fixed prefix: the outer
// error's text is the prefix followed by the inner error's own text, built
// in one place (ErrorPrefix) rather than by concatenation at call sites.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "util/result.h"

namespace brenvik {

struct ErrorPrefix {
  std::string_view prefix;
  // prefix + message, e.g. "MLS error: " + "group not found".
  std::string operator()(std::string_view message) const {
    std::string out;
    out.reserve(prefix.size() + message.size());
    out.append(prefix).append(message);
    return out;
  }
};

inline constexpr ErrorPrefix kCoreErrorPrefix{"Core error: "};
inline constexpr ErrorPrefix kMlsErrorPrefix{"MLS error: "};
inline constexpr ErrorPrefix kTransportErrorPrefix{"Transport error: "};
inline constexpr ErrorPrefix kServiceErrorPrefix{"Service error: "};
inline constexpr ErrorPrefix kRouterErrorPrefix{"Router error: "};
inline constexpr ErrorPrefix kReliabilityErrorPrefix{"Reliability error: "};
inline constexpr ErrorPrefix kSerializationErrorPrefix{"Serialization error: "};
// Texts the protocol's own error and the exported interface error share.
inline constexpr ErrorPrefix kInvalidConfigPrefix{"Invalid configuration: "};
inline constexpr ErrorPrefix kNoKeyPackagePrefix{"No key package available for recipient: "};
inline constexpr ErrorPrefix kEncryptionFailedPrefix{"Failed to encrypt message: "};
inline constexpr ErrorPrefix kUserBlockedPrefix{"User is blocked: "};
inline constexpr ErrorPrefix kGroupNotFoundPrefix{"Group not found: "};
inline constexpr ErrorPrefix kSessionNotReadyPrefix{"Session not ready: "};
inline constexpr ErrorPrefix kDataCorruptPrefix{"Document data is corrupt: "};
inline constexpr ErrorPrefix kTelemetryConfigInvalidPrefix{"telemetry config invalid: "};
inline constexpr std::string_view kNotStartedText = "Protocol not started";
inline constexpr std::string_view kAlreadyStartedText = "Protocol already started";
inline constexpr std::string_view kDataLayerDisabledText = "Data layer is disabled";

// Converts the error of a Result with `f`, keeping a success value as is.
template <typename T, typename E, typename F>
auto map_error(Result<T, E>&& r, F&& f) -> Result<T, decltype(f(std::declval<E>()))> {
  using E2 = decltype(f(std::declval<E>()));
  if (!r.ok()) return Err(E2(f(std::move(r).error())));
  if constexpr (std::is_void_v<T>) {
    return Result<void, E2>();
  } else {
    return std::move(r).value();
  }
}

}  // namespace brenvik
