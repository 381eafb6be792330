#include "bindings/host_log.h"

#include "util/log.h"

namespace brenvik::ffi {

void install_host_log_sink() {
  install_stderr_log_sink();
}

}  // namespace brenvik::ffi
