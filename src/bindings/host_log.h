// Hookup of the host log sink: the library's structured log events reach the
// host's developer as lines on standard error once the host first enables
// telemetry. The sink itself is util's StderrLogSink; installing it is
// process-wide, happens at most once, and yields to a logger the host process
// installed first.
#pragma once

namespace brenvik::ffi {

// Called by enable_telemetry on each successful call; only the first call of
// the process can install the sink (maximum level Debug).
void install_host_log_sink();

}  // namespace brenvik::ffi
