// Internal faults of the engine: conditions that only a broken caller or
// corrupt in-memory state can produce (a slice outside its run, a counter that
// would take the reserved value). They are reported, never turned into a stop
// of the process: functions whose input may come from storage return them as
// values; precondition breaches by engine code throw them (exceptions are for
// bugs only, and every exported entry point catches them).
#pragma once

#include <stdexcept>
#include <string>

namespace kesu {

class InternalError : public std::logic_error {
 public:
  explicit InternalError(const std::string& what) : std::logic_error(what) {}
  std::string message() const { return what(); }
};

}  // namespace kesu
