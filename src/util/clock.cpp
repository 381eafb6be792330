#include "util/clock.h"

namespace brenvik {

Clock& system_clock() {
  static SystemClock* clock = new SystemClock();
  return *clock;
}

}  // namespace brenvik
