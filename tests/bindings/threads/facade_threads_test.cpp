// The facade driven the way a host with threads drives it: several threads
// sending, one ticking process(), one carrying the radio's frames and draining
// the events, with the event and BLE callbacks set; the callback calls back
// into the object. Built on its own so that the ThreadSanitizer configuration
// (`make tsan`) runs only this.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ffi_host.h"

namespace {

using brenvik_host::carry;
using brenvik_host::Device;
using Clock = std::chrono::steady_clock;

std::atomic<uint64_t> g_alice{0};
std::atomic<int> g_events{0};
std::atomic<int> g_signals{0};
std::atomic<int> g_nested_failures{0};

void free_host_handle(uint64_t) {}
uint64_t clone_host_handle(uint64_t h) {
  return h;
}

// alice's event callback reads her state back from inside, on whichever
// thread delivers the event.
void on_event(uint64_t, BrenvikFfiByteBuffer event, uint8_t*, BrenvikFfiCallStatus*) {
  brenvik_host::take(event);
  g_events.fetch_add(1);
  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  uint64_t dup = brenvik_ffi_fn_clone_brenvikprotocol(g_alice.load(), &st);
  brenvik_ffi_fn_method_brenvikprotocol_get_pending_ack_count(dup, &st);
  if (st.code != 0) {
    g_nested_failures.fetch_add(1);
    brenvik_host::take(st.error_buf);
  }
}
void on_fragments_available(uint64_t, uint8_t*, BrenvikFfiCallStatus*) {
  g_signals.fetch_add(1);
}

const BrenvikFfiVTableEventCallback kEvents{&free_host_handle, &clone_host_handle, &on_event};
const BrenvikFfiVTableBleTransportCallback kBle{&free_host_handle, &clone_host_handle,
                                                &on_fragments_available};

// Aborts instead of letting a deadlock hang CI.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : t_([this, limit] {
          std::unique_lock l(mu_);
          if (!cv_.wait_for(l, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: threads still running after the limit\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard l(mu_);
      done_ = true;
    }
    cv_.notify_all();
    t_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread t_;
};

TEST(FacadeThreads, SendersTickerAndPumpShareTwoDevices) {
  Watchdog watchdog(std::chrono::seconds(240));
  brenvik_ffi_fn_init_callback_vtable_eventcallback(&kEvents);
  brenvik_ffi_fn_init_callback_vtable_bletransportcallback(&kBle);
  Device a("alice", "alice"), b("bob", "bob");
  g_alice = a.ref();  // the callback's own reference
  {
    BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
    brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(a.ref(), 1, &st);
    ASSERT_EQ(st.code, 0);
    brenvik_ffi_fn_method_brenvikprotocol_set_ble_transport_callback(a.ref(), 2, &st);
    ASSERT_EQ(st.code, 0);
  }
  a.start();
  b.start();
  a.discover(b);
  b.discover(a);

  constexpr int kSenders = 3;
  constexpr int kPerSender = 15;
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int s = 0; s < kSenders; ++s)
    threads.emplace_back([&, s] {
      for (int i = 0; i < kPerSender; ++i)
        a.send(b, "message " + std::to_string(s) + "/" + std::to_string(i));
    });
  threads.emplace_back([&] {
    while (!stop.load()) {
      a.process();
      b.process();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  // The pump: carries frames both ways and collects what bob received.
  std::set<std::string> received;
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (received.size() < size_t(kSenders * kPerSender) && Clock::now() < deadline) {
    size_t moved = carry(a, b) + carry(b, a);
    while (auto e = b.poll_event()) {
      auto at = e->find("\"content\":\"message ");
      if (e->find("\"type\":\"message_received\"") != std::string::npos && at != std::string::npos)
        received.insert(e->substr(at, e->find('"', at + 11) - at));
    }
    while (a.poll_event()) {
    }
    if (moved == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (int s = 0; s < kSenders; ++s) threads[size_t(s)].join();
  stop = true;
  threads.back().join();

  EXPECT_EQ(received.size(), size_t(kSenders * kPerSender));
  EXPECT_GT(g_events.load(), kSenders * kPerSender)
      << "sent and delivered events reach the callback";
  EXPECT_GT(g_signals.load(), 0);
  EXPECT_EQ(g_nested_failures.load(), 0);

  BrenvikFfiCallStatus st{0, {0, 0, nullptr}};
  brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(a.ref(), 3, &st);
  brenvik_ffi_fn_free_brenvikprotocol(g_alice.exchange(0), &st);
  EXPECT_EQ(st.code, 0);
}

}  // namespace
