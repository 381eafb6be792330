#include "bindings/inner_lock.h"

#include <iterator>
#include <vector>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>

#include "util/log.h"

namespace brenvik::ffi {

namespace {

std::string process_name() {
  char buf[64] = {0};
  FILE* f = std::fopen("/proc/self/comm", "r");
  if (!f) return {};
  if (!std::fgets(buf, sizeof buf, f)) buf[0] = '\0';
  std::fclose(f);
  std::string s(buf);
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// A thread that was never named inherits the process name; such a thread
// (other than the main thread, whose name is the process name) is unnamed.
std::shared_ptr<const std::string> compute_thread_label() {
  char name[64] = {0};
  const long tid = static_cast<long>(::syscall(SYS_gettid));
  const bool is_main = static_cast<long>(::getpid()) == tid;
  if (pthread_getname_np(pthread_self(), name, sizeof name) == 0 && name[0] != '\0' &&
      (is_main || process_name() != name))
    return std::make_shared<const std::string>(name);
  return std::make_shared<const std::string>("unnamed-" + std::to_string(tid));
}

}  // namespace

std::shared_ptr<const std::string> current_thread_label() {
  thread_local std::shared_ptr<const std::string> label = compute_thread_label();
  return label;
}

void LockTelemetry::record(const std::source_location& site) {
  auto thread = current_thread_label();
  const MonoTime now = clock_.monotonic();
  auto g = holder_.lock();
  if (holder_.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "lock_telemetry");
  *g = LockHolder{std::move(thread), site, now};
}

void LockTelemetry::clear() {
  auto g = holder_.lock();
  if (holder_.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "lock_telemetry");
  g->reset();
}

HolderSnapshot LockTelemetry::snapshot() const {
  auto g = holder_.lock();
  if (holder_.is_poisoned()) warn_lock_recovered(kMutexPoisonedText, "lock_telemetry");
  HolderSnapshot s;
  if (!g->has_value()) return s;
  const LockHolder& h = **g;
  s.held = true;
  s.site = std::string(h.site.file_name()) + ":" + std::to_string(h.site.line());
  s.thread = h.thread ? *h.thread : std::string();
  const auto elapsed = clock_.monotonic() - h.since;
  const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  s.held_ms = ns > 0 ? static_cast<uint64_t>(ns / 1'000'000) : 0;
  return s;
}

void warn_lock_recovered(std::string_view message, std::string_view lock_name) {
  BRENVIK_LOG(LogLevel::Warn, kBindingsLogTarget, {"message", message}, {"lock", lock_name});
}

namespace {
// Locks are taken one per object and a thread holds at most a few at once.
thread_local std::vector<const void*> t_held;
}  // namespace

bool this_thread_holds(const void* lock) {
  for (const void* p : t_held)
    if (p == lock) return true;
  return false;
}

void note_held(const void* lock) {
  t_held.push_back(lock);
}

void note_released(const void* lock) {
  for (auto it = t_held.rbegin(); it != t_held.rend(); ++it) {
    if (*it == lock) {
      t_held.erase(std::next(it).base());
      return;
    }
  }
}

}  // namespace brenvik::ffi
