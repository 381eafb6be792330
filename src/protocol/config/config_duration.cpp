#include "protocol/config/config_duration.h"

#include <algorithm>

namespace brenvik {

std::string ConfigDuration::whole_millis_text() const {
  unsigned __int128 ms = static_cast<unsigned __int128>(secs) * 1000u + nanos / 1'000'000u;
  if (ms == 0) return "0";
  std::string out;
  while (ms != 0) {
    out.push_back(static_cast<char>('0' + static_cast<int>(ms % 10)));
    ms /= 10;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

}  // namespace brenvik
