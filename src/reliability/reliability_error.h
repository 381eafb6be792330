// The error of the reliability tables; the core wraps it under
// "Reliability error: " (kReliabilityErrorPrefix).
#pragma once

#include <cstdint>
#include <string>

#include "core/errors.h"

namespace brenvik {

struct ReliabilityError {
  enum class Kind : uint8_t { Core, AckTimeout, Capacity };

  Kind kind = Kind::Capacity;
  std::string text;  // the message id of AckTimeout, the text of Capacity
  CoreError core;    // the wrapped error of Core

  static ReliabilityError ack_timeout(std::string message_id) {
    return {Kind::AckTimeout, std::move(message_id), {}};
  }
  static ReliabilityError capacity(std::string t) { return {Kind::Capacity, std::move(t), {}}; }
  static ReliabilityError from_core(CoreError c) { return {Kind::Core, {}, std::move(c)}; }

  // "Core error: ...", "ACK timeout for message <id>", or the capacity text.
  std::string message() const;

  bool operator==(const ReliabilityError&) const = default;
};

}  // namespace brenvik
