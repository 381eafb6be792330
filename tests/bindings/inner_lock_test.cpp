// The `inner` lock's holder record and poisoning, as protocol_lock_diagnostics
// and the method bodies see them.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "bindings/inner_lock.h"
#include "util/clock.h"

namespace brenvik::ffi {
namespace {

TEST(InnerLock, NoHolderWhenNothingHoldsIt) {
  LockTelemetry tel;
  InnerLock<int> inner(tel, 0);
  { auto g = inner.lock(); }
  auto s = tel.snapshot();
  EXPECT_FALSE(s.held);
  EXPECT_EQ(s.site, "");
  EXPECT_EQ(s.thread, "");
  EXPECT_EQ(s.held_ms, 0u);
}

TEST(InnerLock, SecondThreadSeesTheHolderSiteThreadAndAge) {
  ManualClock clock;
  LockTelemetry tel(clock);
  InnerLock<int> inner(tel, 0);
  std::promise<int> taken_line;
  std::promise<void> release;
  auto release_f = release.get_future().share();
  std::thread holder([&] {
    pthread_setname_np(pthread_self(), "facade-holder");
    const int line = __LINE__ + 1;
    auto g = inner.lock();
    taken_line.set_value(line);
    release_f.wait();
  });
  const int line = taken_line.get_future().get();
  clock.advance(std::chrono::milliseconds(1'250));
  HolderSnapshot s;
  std::thread reader([&] { s = tel.snapshot(); });
  reader.join();
  EXPECT_TRUE(s.held);
  EXPECT_NE(s.site.find("inner_lock_test.cpp:" + std::to_string(line)), std::string::npos)
      << s.site;
  EXPECT_EQ(s.thread, "facade-holder");
  EXPECT_EQ(s.held_ms, 1'250u);
  release.set_value();
  holder.join();
  EXPECT_FALSE(tel.snapshot().held);
}

TEST(InnerLock, UnnamedThreadIsLabelledWithItsId) {
  std::string label;
  std::thread t([&] { label = *current_thread_label(); });
  t.join();
  EXPECT_EQ(label.rfind("unnamed-", 0), 0u) << label;
}

TEST(InnerLock, ExceptionInsideAGuardPoisonsForStrictButNotRecoveringTakes) {
  LockTelemetry tel;
  InnerLock<int> inner(tel, 7);
  try {
    auto g = inner.lock();
    ASSERT_TRUE(g.ok());
    throw std::runtime_error("fault inside a body");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(inner.is_poisoned());
  EXPECT_FALSE(tel.snapshot().held);
  auto refused = inner.lock();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "poisoned lock: another task failed inside");
  EXPECT_FALSE(tel.snapshot().held);  // a refused take records no holder
  auto g = inner.lock_or_recover();
  EXPECT_EQ(*g, 7);
  EXPECT_TRUE(tel.snapshot().held);
}

TEST(InnerLock, ErrorReturnReleasesTheLock) {
  LockTelemetry tel;
  InnerLock<int> inner(tel, 0);
  auto body = [&]() -> int {
    auto g = inner.lock();
    if (g.ok()) return -1;  // early return path
    return 0;
  };
  EXPECT_EQ(body(), -1);
  auto again = std::async(std::launch::async, [&] { return inner.lock().ok(); });
  EXPECT_TRUE(again.get());
}

}  // namespace
}  // namespace brenvik::ffi
