// The host log sink: one line per record on standard error,
// "[brenvik-protocol] LEVEL target: message".
//
// The sink is installed into the process-wide logger slot once, by the first
// enable_telemetry of the process; until then, and when something else took
// the slot first, the library's events write nothing through it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace brenvik::ffi {

enum class LogLevel : int { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };
std::string_view level_name(LogLevel l);

// One named field of a structured log event.
struct LogField {
  std::string name;
  std::variant<std::string, int64_t, uint64_t, double, bool> value;
};

// The record message built from an event's fields in order: a first field
// named "message" is its text; any other first field is name=value; each later
// field is " name=value"; strings in double quotes with debug escapes.
std::string format_log_message(const std::vector<LogField>& fields);
// The whole line, line feed included.
std::string format_log_line(LogLevel level, std::string_view target, std::string_view message);

// A process-wide logger.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual bool enabled(LogLevel level, std::string_view target) const = 0;
  virtual void log(LogLevel level, std::string_view target, std::string_view message) = 0;
  virtual void flush() = 0;
};

// Puts `logger` into the process-wide slot; false (and nothing changes) when
// the slot is already taken. The logger must live until the process ends.
bool set_process_logger(Logger* logger);
// The maximum level that passes (0: nothing), and its setter.
int max_log_level();
void set_max_log_level(int level);

// The library's sink, writing to standard error.
class HostLogSink final : public Logger {
 public:
  bool enabled(LogLevel, std::string_view) const override { return true; }
  void log(LogLevel level, std::string_view target, std::string_view message) override;
  void flush() override;
};

// Installs the sink once per process (guarded against concurrent callers); sets
// the maximum level to Debug when it was installed. Returns whether this call
// installed it.
bool install_host_log_sink();

// Emits one structured event: costs one comparison when the level does not pass.
void log_event(LogLevel level, std::string_view target, const std::vector<LogField>& fields);

}  // namespace brenvik::ffi
