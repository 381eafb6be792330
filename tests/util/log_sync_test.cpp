#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "util/log.h"
#include "util/sync.h"

namespace brenvik {
namespace {

TEST(LogMessage, FieldsBecomeOneMessage) {
  struct Case {
    std::string got;
    const char* want;
  };
  const Case cases[] = {
      {format_log_message({{"message", "Send failed, message deferred"}}),
       "Send failed, message deferred"},
      {format_log_message({{"message", "Queued"}, {"peer_id", "bob"}, {"count", 3}}),
       "Queued peer_id=\"bob\" count=3"},
      {format_log_message({{"attempts", 7u}}), "attempts=7"},
      {format_log_message({{"message", "x"}, {"note", "a\"b\n"}, {"ok", true}, {"neg", -2}}),
       "x note=\"a\\\"b\\n\" ok=true neg=-2"},
      {format_log_message(
           {{"message", "x"}, {"ratio", 0.5}, {"at", LogValue::display("f.cpp:1:2")}}),
       "x ratio=0.5 at=f.cpp:1:2"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(LogLevels, MaximumLevelGatesEvents) {
  ScopedLogCapture cap(LogLevel::Debug);
  BRENVIK_LOG(LogLevel::Debug, "brenvik_protocol::t", {"message", "shown"});
  BRENVIK_LOG(LogLevel::Trace, "brenvik_protocol::t", {"message", "hidden"});
  BRENVIK_LOG(LogLevel::Error, "brenvik_protocol::t", {"message", "err"}, {"code", 2});
  auto e = cap.entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].message, "shown");
  EXPECT_EQ(e[1].level, LogLevel::Error);
  EXPECT_EQ(e[1].target, "brenvik_protocol::t");
  EXPECT_EQ(e[1].message, "err code=2");
  EXPECT_EQ(log_level_name(LogLevel::Warn), "WARN");
}

TEST(LogLevels, OffBuildsNothing) {
  ScopedLogCapture cap(LogLevel::Off);
  int evaluated = 0;
  auto expensive = [&] {
    ++evaluated;
    return std::string("x");
  };
  BRENVIK_LOG(LogLevel::Error, "t", {"message", expensive()});
  EXPECT_EQ(evaluated, 0);
  EXPECT_TRUE(cap.entries().empty());
}

TEST(LogRateLimiter, RepeatedWarningsPerWindow) {
  ManualClock clock;
  LogRateLimiter lim(clock, std::chrono::seconds(10), 2);
  EXPECT_TRUE(lim.check("peer-a").allowed);
  EXPECT_TRUE(lim.check("peer-a").allowed);
  EXPECT_FALSE(lim.check("peer-a").allowed);
  EXPECT_FALSE(lim.check("peer-a").allowed);
  EXPECT_TRUE(lim.check("peer-b").allowed);  // keys are independent
  clock.advance(std::chrono::seconds(9));
  EXPECT_FALSE(lim.check("peer-a").allowed);
  clock.advance(std::chrono::seconds(1));
  auto d = lim.check("peer-a");
  EXPECT_TRUE(d.allowed);
  EXPECT_EQ(d.suppressed_before, 3u);
  EXPECT_EQ(lim.check("peer-a").suppressed_before, 0u);
}

TEST(LogRateLimiter, ManyKeysStayBounded) {
  ManualClock clock;
  LogRateLimiter lim(clock, std::chrono::seconds(10), 1);
  for (int i = 0; i < 5000; ++i) {
    std::string key = std::to_string(i);
    key += "k";
    EXPECT_TRUE(lim.check(key).allowed);
    ASSERT_LE(lim.tracked_keys(), 1024u);
  }
  clock.advance(std::chrono::seconds(11));
  EXPECT_TRUE(lim.check("busy").allowed);
  for (int i = 0; i < 1500; ++i) (void)lim.check(std::to_string(i));
  EXPECT_LE(lim.tracked_keys(), 1024u);
}

// ---------------------------------------------------------------- locks

const std::string kMutexWarning = "Mutex poisoned \xE2\x80\x94 recovering with inner value";
const std::string kRwWarning = "RwLock poisoned \xE2\x80\x94 recovering with inner value";

template <typename L, typename F>
void fail_while_holding(L& lock, F take) {
  try {
    auto g = take(lock);
    throw std::runtime_error("failure inside the locked section");
  } catch (const std::runtime_error&) {
  }
}

TEST(PoisonTolerantLocks, MutexRecoversAndWarnsEveryTime) {
  ScopedLogCapture cap(LogLevel::Debug);
  Mutex<int> m(1);
  fail_while_holding(m, [](Mutex<int>& l) {
    auto g = lock_or_recover(l);
    *g = 2;  // half-done update
    return g;
  });
  EXPECT_TRUE(m.is_poisoned());
  int line_second = 0, line_third = 0;
  {
    line_second = __LINE__ + 1;
    auto g = lock_or_recover(m);
    EXPECT_EQ(*g, 2);  // data as it was left
  }
  {
    line_third = __LINE__ + 1;
    auto g = lock_or_recover(m);
  }
  auto e = cap.entries();
  ASSERT_EQ(e.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(e[i].level, LogLevel::Warn);
    EXPECT_EQ(e[i].target, "brenvik_protocol_core::sync");
    EXPECT_EQ(e[i].message.rfind(kMutexWarning + " location=", 0), 0u) << e[i].message;
  }
  // Each warning names its own caller's position: file:line:column.
  EXPECT_NE(e[0].message.find("log_sync_test.cpp:" + std::to_string(line_second) + ":"),
            std::string::npos)
      << e[0].message;
  EXPECT_NE(e[1].message.find("log_sync_test.cpp:" + std::to_string(line_third) + ":"),
            std::string::npos)
      << e[1].message;
}

TEST(PoisonTolerantLocks, HealthyLockLogsNothing) {
  ScopedLogCapture cap(LogLevel::Trace);
  Mutex<int> m(0);
  { *lock_or_recover(m) += 1; }
  RwLock<int> rw(0);
  { *write_or_recover(rw) += 1; }
  EXPECT_EQ(*read_or_recover(rw), 1);
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_TRUE(cap.entries().empty());
}

TEST(PoisonTolerantLocks, FailingReaderLeavesLockHealthy) {
  ScopedLogCapture cap(LogLevel::Debug);
  RwLock<std::string> rw("v");
  fail_while_holding(rw, [](RwLock<std::string>& l) { return read_or_recover(l); });
  EXPECT_FALSE(rw.is_poisoned());
  EXPECT_EQ(*read_or_recover(rw), "v");
  { *write_or_recover(rw) = "w"; }
  EXPECT_TRUE(cap.entries().empty());
}

TEST(PoisonTolerantLocks, FailingWriterPoisonsForReadersAndWriters) {
  ScopedLogCapture cap(LogLevel::Debug);
  RwLock<int> rw(0);
  fail_while_holding(rw, [](RwLock<int>& l) { return write_or_recover(l); });
  EXPECT_TRUE(rw.is_poisoned());
  { auto r = read_or_recover(rw); }
  { auto w = write_or_recover(rw); }
  auto e = cap.entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].message.rfind(kRwWarning, 0), 0u);
  EXPECT_EQ(e[1].message.rfind(kRwWarning, 0), 0u);
}

TEST(PoisonTolerantLocks, DisabledWarnLogsNothingAndStillLocks) {
  ScopedLogCapture cap(LogLevel::Error);
  Mutex<int> m(5);
  fail_while_holding(m, [](Mutex<int>& l) { return lock_or_recover(l); });
  EXPECT_EQ(*lock_or_recover(m), 5);
  EXPECT_TRUE(cap.entries().empty());
}

// A guard taken while an exception is already propagating (inside a
// destructor during unwinding) does not poison when it is released normally.
struct TakesLockInDestructor {
  Mutex<int>& m;
  ~TakesLockInDestructor() { *lock_or_recover(m) += 1; }
};

TEST(PoisonTolerantLocks, GuardMadeDuringUnwindingDoesNotPoison) {
  Mutex<int> m(0);
  try {
    TakesLockInDestructor t{m};
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(*m.lock(), 1);
  EXPECT_FALSE(m.is_poisoned());
}

TEST(PoisonTolerantLocks, ExclusiveAcrossThreads) {
  Mutex<int> m(0);
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) *lock_or_recover(m) += 1;
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(*m.lock(), 40000);
}

}  // namespace
}  // namespace brenvik
