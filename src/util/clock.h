// Monotonic and wall clocks behind one interface, so that code with
// time-outs takes a Clock& and tests move time instead of sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <compare>
#include <cstdint>

namespace brenvik {

using Nanos = std::chrono::nanoseconds;

// A point on a monotonic clock: only differences between two points of the
// same clock mean anything.
struct MonoTime {
  Nanos since_origin{0};

  friend auto operator<=>(MonoTime, MonoTime) = default;
  friend MonoTime operator+(MonoTime t, Nanos d) { return MonoTime{t.since_origin + d}; }
  friend MonoTime operator-(MonoTime t, Nanos d) { return MonoTime{t.since_origin - d}; }
  friend Nanos operator-(MonoTime a, MonoTime b) { return a.since_origin - b.since_origin; }
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonoTime monotonic() const = 0;
  // Wall-clock time as nanoseconds since the Unix epoch (may jump).
  virtual int64_t wall_unix_ns() const = 0;
  int64_t wall_unix_ms() const { return wall_unix_ns() / 1'000'000; }
};

// The operating system's steady and system clocks.
class SystemClock final : public Clock {
 public:
  MonoTime monotonic() const override {
    return MonoTime{
        std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch())};
  }
  int64_t wall_unix_ns() const override {
    return std::chrono::duration_cast<Nanos>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
};

// The process's system clock (never destroyed).
Clock& system_clock();

// A clock that moves only when told to. Safe to read and advance from
// several threads.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(int64_t wall_unix_ns = 1'700'000'000'000'000'000, int64_t mono_ns = 0)
      : mono_ns_(mono_ns), wall_ns_(wall_unix_ns) {}

  MonoTime monotonic() const override { return MonoTime{Nanos(mono_ns_.load())}; }
  int64_t wall_unix_ns() const override { return wall_ns_.load(); }

  // Moves both clocks forward by `d`.
  void advance(Nanos d) {
    mono_ns_ += d.count();
    wall_ns_ += d.count();
  }
  // Sets the wall clock alone (wall time may jump, monotonic time does not).
  void set_wall_unix_ns(int64_t ns) { wall_ns_ = ns; }

 private:
  std::atomic<int64_t> mono_ns_;
  std::atomic<int64_t> wall_ns_;
};

}  // namespace brenvik
