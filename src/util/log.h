// Structured logging: events with a level, a target (the emitting module's
// path, e.g. "brenvik_protocol::protocol::send") and named fields, handed to
// one process-wide sink.
//
// Until a sink is installed, and while the maximum level is Off, logging
// costs one relaxed atomic load and a comparison and builds no text:
//
//   BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol::protocol::send",
//               {"message", "Send failed, message deferred"}, {"peer_id", peer});
//
// An event becomes one record whose message is made from the fields in
// order: a first field named "message" is written as its text; a first
// field with another name as name=value; each further field as " name=value".
// Values use their debug form: strings in double quotes with escapes,
// numbers and booleans plainly, display values (LogValue::display) as is.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "util/clock.h"
#include "util/thread_annotations.h"

namespace brenvik {

enum class LogLevel : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE" ("OFF" for Off).
std::string_view log_level_name(LogLevel level);

// One field value. Integers keep their signedness; text is copied by view
// (the event is formatted before log_event returns).
class LogValue {
 public:
  enum class Kind : uint8_t { Text, Display, Signed, Unsigned, Float, Bool };

  LogValue(std::string_view s) : kind_(Kind::Text), text_(s) {}    // NOLINT
  LogValue(const char* s) : kind_(Kind::Text), text_(s) {}         // NOLINT
  LogValue(const std::string& s) : kind_(Kind::Text), text_(s) {}  // NOLINT
  LogValue(bool b) : kind_(Kind::Bool), u_(b) {}                   // NOLINT
  template <typename I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && std::is_signed_v<I>) LogValue(I v)
      : kind_(Kind::Signed), i_(v) {}  // NOLINT
  template <typename I>
  requires(std::is_integral_v<I> && !std::is_same_v<I, bool> && std::is_unsigned_v<I>) LogValue(I v)
      : kind_(Kind::Unsigned), u_(v) {}              // NOLINT
  LogValue(double v) : kind_(Kind::Float), f_(v) {}  // NOLINT

  // Text written without quotes (a value formatted for display).
  static LogValue display(std::string_view s) {
    LogValue v(s);
    v.kind_ = Kind::Display;
    return v;
  }

  Kind kind() const { return kind_; }
  // The text of a Text or Display value.
  std::string_view text() const { return text_; }
  void append_debug(std::string& out) const;

 private:
  Kind kind_;
  std::string_view text_;
  union {
    int64_t i_;
    uint64_t u_;
    double f_;
  };
};

struct LogField {
  std::string_view name;
  LogValue value;
};

// What a sink receives.
struct LogRecord {
  LogLevel level;
  std::string_view target;
  std::string_view message;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual bool enabled(LogLevel level, std::string_view target) const = 0;
  virtual void log(const LogRecord& record) = 0;
  virtual void flush() = 0;
};

// Writes "[brenvik-protocol] LEVEL target: message\n" to standard error in
// one locked write, so lines of concurrent threads never mix. Write errors
// are ignored.
class StderrLogSink final : public LogSink {
 public:
  bool enabled(LogLevel, std::string_view) const override { return true; }
  void log(const LogRecord& record) override;
  void flush() override;
};

// Puts `sink` into the process-wide slot. Returns false, and changes nothing,
// when the slot is already taken. The sink lives until the process ends.
bool set_logger(std::unique_ptr<LogSink> sink);
// Installs a StderrLogSink once per process and, when that succeeded, sets the
// maximum level to Debug. Later calls (or a slot taken by another logger) do
// nothing. Safe to call from several threads.
void install_stderr_log_sink();

namespace log_detail {
extern std::atomic<uint8_t> g_max_level;
}

inline LogLevel max_log_level() {
  return LogLevel(log_detail::g_max_level.load(std::memory_order_relaxed));
}
void set_max_log_level(LogLevel level);
// The cheap check: a level above the maximum is off.
inline bool log_enabled(LogLevel level) {
  return uint8_t(level) <= log_detail::g_max_level.load(std::memory_order_relaxed);
}

// Builds the record's message from the fields (rules above).
std::string format_log_message(std::initializer_list<LogField> fields);
// Emits one event (checks the level and the sink's enabled()).
void log_event(LogLevel level, std::string_view target, std::initializer_list<LogField> fields);

#define BRENVIK_LOG(level, target, ...)                                                    \
  do {                                                                                     \
    if (::brenvik::log_enabled(level)) ::brenvik::log_event(level, target, {__VA_ARGS__}); \
  } while (0)

// Test hook: while alive, records go to this capture instead of the
// process-wide sink, and the maximum level is `max_level` (both restored on
// destruction). One capture at a time.
class ScopedLogCapture {
 public:
  struct Entry {
    LogLevel level;
    std::string target;
    std::string message;
  };
  explicit ScopedLogCapture(LogLevel max_level = LogLevel::Trace);
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<Entry> entries() const EXCLUDES(mu_);
  void add(const LogRecord& r) EXCLUDES(mu_);

 private:
  mutable AnnotatedMutex mu_;
  std::vector<Entry> entries_ GUARDED_BY(mu_);
  LogLevel saved_level_;
};

// Lets through at most `max_per_window` events per key in each window of
// `window` on the given clock; the rest are counted as suppressed. Use it
// for warnings that a peer can trigger repeatedly. At most 1024 keys are
// tracked (older windows are forgotten first). Thread-safe.
class LogRateLimiter {
 public:
  LogRateLimiter(const Clock& clock, Nanos window, uint32_t max_per_window)
      : clock_(clock), window_(window), max_(max_per_window) {}

  struct Decision {
    bool allowed;
    // Events of this key suppressed in the previous window(s), reported once
    // with the first allowed event of a new window.
    uint64_t suppressed_before;
  };
  Decision check(std::string_view key) EXCLUDES(mu_);
  // Number of keys currently tracked (at most 1024).
  size_t tracked_keys() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return slots_.size();
  }

 private:
  static constexpr size_t kMaxKeys = 1024;
  struct Slot {
    MonoTime window_start;
    uint32_t count = 0;
    uint64_t suppressed = 0;
  };
  const Clock& clock_;
  Nanos window_;
  uint32_t max_;
  AnnotatedMutex mu_;
  std::unordered_map<std::string, Slot> slots_ GUARDED_BY(mu_);
};

}  // namespace brenvik
