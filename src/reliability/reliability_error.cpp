#include "reliability/reliability_error.h"

#include "util/error.h"

namespace brenvik {

std::string ReliabilityError::message() const {
  switch (kind) {
    case Kind::Core:
      return kCoreErrorPrefix(core.message());
    case Kind::AckTimeout:
      return "ACK timeout for message " + text;
    case Kind::Capacity:
      return text;
  }
  return text;
}

}  // namespace brenvik
