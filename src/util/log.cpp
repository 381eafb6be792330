#include "util/log.h"

#include <cmath>
#include <cstdio>

#include "util/debug_string.h"
#include "util/json_writer.h"

namespace brenvik {
namespace log_detail {
std::atomic<uint8_t> g_max_level{0};
}  // namespace log_detail

namespace {

std::atomic<LogSink*> g_sink{nullptr};
std::atomic<ScopedLogCapture*> g_capture{nullptr};

}  // namespace

std::string_view log_level_name(LogLevel level) {
  switch (level) {
    case LogLevel::Off:
      return "OFF";
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
  return "OFF";
}

void LogValue::append_debug(std::string& out) const {
  switch (kind_) {
    case Kind::Text:
      append_debug_quoted(out, text_);
      return;
    case Kind::Display:
      out.append(text_);
      return;
    case Kind::Signed:
      json_append_i64(out, i_);
      return;
    case Kind::Unsigned:
      json_append_u64(out, u_);
      return;
    case Kind::Bool:
      out.append(u_ ? "true" : "false");
      return;
    case Kind::Float:
      if (std::isnan(f_)) {
        out.append("NaN");
      } else if (std::isinf(f_)) {
        out.append(f_ > 0 ? "inf" : "-inf");
      } else {
        json_append_f64(out, f_);
      }
      return;
  }
}

std::string format_log_message(std::initializer_list<LogField> fields) {
  std::string out;
  bool first = true;
  for (const auto& f : fields) {
    if (first && f.name == "message") {
      // The formatted message's debug form is its text.
      if (f.value.kind() == LogValue::Kind::Text) {
        out.append(f.value.text());
      } else {
        f.value.append_debug(out);
      }
    } else {
      if (!first) out.push_back(' ');
      out.append(f.name);
      out.push_back('=');
      f.value.append_debug(out);
    }
    first = false;
  }
  return out;
}

void StderrLogSink::log(const LogRecord& r) {
  std::string_view level = log_level_name(r.level);
  flockfile(stderr);
  fwrite("[brenvik-protocol] ", 1, 19, stderr);
  fwrite(level.data(), 1, level.size(), stderr);
  fputc(' ', stderr);
  fwrite(r.target.data(), 1, r.target.size(), stderr);
  fwrite(": ", 1, 2, stderr);
  fwrite(r.message.data(), 1, r.message.size(), stderr);
  fputc('\n', stderr);
  funlockfile(stderr);
}

void StderrLogSink::flush() {
  fflush(stderr);
}

bool set_logger(std::unique_ptr<LogSink> sink) {
  LogSink* expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, sink.get())) return false;
  sink.release();  // lives for the rest of the process
  return true;
}

void install_stderr_log_sink() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (set_logger(std::make_unique<StderrLogSink>())) set_max_log_level(LogLevel::Debug);
  });
}

void set_max_log_level(LogLevel level) {
  log_detail::g_max_level.store(uint8_t(level), std::memory_order_relaxed);
}

void log_event(LogLevel level, std::string_view target, std::initializer_list<LogField> fields) {
  if (!log_enabled(level)) return;
  if (ScopedLogCapture* cap = g_capture.load()) {
    std::string msg = format_log_message(fields);
    cap->add(LogRecord{level, target, msg});
    return;
  }
  LogSink* sink = g_sink.load(std::memory_order_acquire);
  if (sink == nullptr || !sink->enabled(level, target)) return;
  std::string msg = format_log_message(fields);
  sink->log(LogRecord{level, target, msg});
}

ScopedLogCapture::ScopedLogCapture(LogLevel max_level) : saved_level_(max_log_level()) {
  g_capture.store(this);
  set_max_log_level(max_level);
}

ScopedLogCapture::~ScopedLogCapture() {
  g_capture.store(nullptr);
  set_max_log_level(saved_level_);
}

void ScopedLogCapture::add(const LogRecord& r) {
  MutexLock lock(mu_);
  entries_.push_back(Entry{r.level, std::string(r.target), std::string(r.message)});
}

std::vector<ScopedLogCapture::Entry> ScopedLogCapture::entries() const {
  MutexLock lock(mu_);
  return entries_;
}

LogRateLimiter::Decision LogRateLimiter::check(std::string_view key) {
  const MonoTime now = clock_.monotonic();
  MutexLock lock(mu_);
  if (slots_.size() >= kMaxKeys && slots_.find(std::string(key)) == slots_.end()) {
    // Bound the table: forget keys whose window has ended, or all of them.
    std::erase_if(slots_, [&](const auto& kv) { return now - kv.second.window_start >= window_; });
    if (slots_.size() >= kMaxKeys) slots_.clear();
  }
  auto [it, fresh] = slots_.try_emplace(std::string(key));
  Slot& s = it->second;
  if (fresh || now - s.window_start >= window_) {
    s.window_start = now;
    s.count = 0;
  }
  if (s.count < max_) {
    ++s.count;
    const uint64_t before = s.suppressed;
    s.suppressed = 0;
    return {true, before};
  }
  ++s.suppressed;
  return {false, 0};
}

}  // namespace brenvik
