#include "bindings/host_log.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "bindings/callbacks.h"

namespace brenvik::ffi {
namespace {
std::atomic<Logger*> g_logger{nullptr};
std::atomic<int> g_max_level{0};

std::string field_value(const LogField& f) {
  struct V {
    std::string operator()(const std::string& s) const { return debug_quoted(s); }
    std::string operator()(int64_t v) const { return std::to_string(v); }
    std::string operator()(uint64_t v) const { return std::to_string(v); }
    std::string operator()(double v) const {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%g", v);
      return buf;
    }
    std::string operator()(bool v) const { return v ? "true" : "false"; }
  };
  return std::visit(V{}, f.value);
}
}  // namespace

std::string_view level_name(LogLevel l) {
  switch (l) {
    case LogLevel::Error:
      return "ERROR";
    case LogLevel::Warn:
      return "WARN";
    case LogLevel::Info:
      return "INFO";
    case LogLevel::Debug:
      return "DEBUG";
    case LogLevel::Trace:
      return "TRACE";
  }
  return "TRACE";
}

std::string format_log_message(const std::vector<LogField>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    const LogField& f = fields[i];
    if (i == 0 && f.name == "message") {
      // The formatted message text shows as itself.
      if (const auto* s = std::get_if<std::string>(&f.value)) {
        out += *s;
      } else {
        out += field_value(f);
      }
      continue;
    }
    if (i > 0) out += ' ';
    out += f.name;
    out += '=';
    out += field_value(f);
  }
  return out;
}

std::string format_log_line(LogLevel level, std::string_view target, std::string_view message) {
  std::string line = "[brenvik-protocol] ";
  line += level_name(level);
  line += ' ';
  line += target;
  line += ": ";
  line += message;
  line += '\n';
  return line;
}

bool set_process_logger(Logger* logger) {
  Logger* expected = nullptr;
  return g_logger.compare_exchange_strong(expected, logger);
}
int max_log_level() {
  return g_max_level.load(std::memory_order_relaxed);
}
void set_max_log_level(int level) {
  g_max_level.store(level, std::memory_order_relaxed);
}

void HostLogSink::log(LogLevel level, std::string_view target, std::string_view message) {
  // One write under standard error's own lock, so concurrent lines never mix.
  std::string line = format_log_line(level, target, message);
  flockfile(stderr);
  (void)std::fwrite(line.data(), 1, line.size(), stderr);
  funlockfile(stderr);
}

void HostLogSink::flush() {
  (void)std::fflush(stderr);
}

bool install_host_log_sink() {
  static std::once_flag once;
  bool installed_now = false;
  std::call_once(once, [&] {
    static HostLogSink sink;
    if (set_process_logger(&sink)) {
      set_max_log_level(static_cast<int>(LogLevel::Debug));
      installed_now = true;
    }
  });
  return installed_now;
}

void log_event(LogLevel level, std::string_view target, const std::vector<LogField>& fields) {
  if (static_cast<int>(level) > max_log_level()) return;
  Logger* l = g_logger.load(std::memory_order_acquire);
  if (l == nullptr || !l->enabled(level, target)) return;
  l->log(level, target, format_log_message(fields));
}

}  // namespace brenvik::ffi
