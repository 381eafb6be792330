// What a host meets through the C interface alone: strings that are not
// UTF-8, callbacks that call back into the object that is calling them,
// handles that were freed or never issued, and callback handles passed
// before their table is registered.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bindings/callbacks.h"
#include "bindings/codec.h"
#include "bindings/ffi_types.h"
#include "bindings/objects.h"
#include "ffi_host.h"
#include "ffi_test_util.h"

namespace brenvik::ffi {
namespace {

using brenvik_host::carry;
using brenvik_host::Device;
using testing::be32;
using testing::cat;
using testing::fresh_status;
using testing::host_buffer;
using testing::str_field;
using testing::take;
using testing::take_error_text;
using testing::take_text;

// Fails the test run instead of hanging CI when a scenario deadlocks.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : t_([this, limit] {
          std::unique_lock l(mu_);
          if (!cv_.wait_for(l, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: scenario still running after %llds; a call hangs\n",
                         static_cast<long long>(limit.count()));
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

// Two started devices in reach of each other over a simulated BLE link, with
// the start-up traffic carried and the events drained.
struct Pair {
  Device a{"alice", "alice"}, b{"bob", "bob"};
  Pair() {
    a.start();
    b.start();
    a.discover(b);
    b.discover(a);
    settle();
    drain_events(a);
    drain_events(b);
  }
  void settle() {
    for (int i = 0; i < 8; ++i)
      if (carry(a, b) + carry(b, a) == 0) return;
  }
  static std::vector<std::string> drain_events(Device& d) {
    std::vector<std::string> out;
    while (auto e = d.poll_event()) out.push_back(*e);
    return out;
  }
  static size_t count_of(const std::vector<std::string>& events, std::string_view type) {
    size_t n = 0;
    for (const auto& e : events)
      if (e.find("\"type\":\"" + std::string(type) + "\"") != std::string::npos) ++n;
    return n;
  }
};

Bytes medium() {
  return write_value(MessagePriority::Medium);
}
Bytes no_reply() {
  return Bytes{0};
}

// ---- UTF-8 in top-level string arguments

struct Utf8Case {
  const char* arg;
  // Calls one export on `d` with `bad` in the named string argument.
  std::function<void(Device& d, const Bytes& bad, BrenvikFfiCallStatus*)> call;
};

TEST(HostStrings, InvalidUtf8InAnyStringArgumentIsRefusedAndNothingIsSent) {
  Pair p;
  const Bytes valid = to_bytes("bob");
  const std::vector<Utf8Case> cases = {
      {"recipient",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(brenvik_ffi_fn_method_brenvikprotocol_send_message(
             d.ref(), host_buffer(bad), host_buffer("hi"), host_buffer(medium()),
             host_buffer(no_reply()), s));
       }},
      {"content",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(brenvik_ffi_fn_method_brenvikprotocol_send_message(
             d.ref(), host_buffer(valid), host_buffer(bad), host_buffer(medium()),
             host_buffer(no_reply()), s));
       }},
      {"reply_to_msg",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         Bytes reply = cat({{1}, be32(int32_t(bad.size())), bad});
         take(brenvik_ffi_fn_method_brenvikprotocol_send_message(
             d.ref(), host_buffer(valid), host_buffer("hi"), host_buffer(medium()),
             host_buffer(reply), s));
       }},
      {"content",  // the rich send
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(brenvik_ffi_fn_method_brenvikprotocol_send_message_rich(
             d.ref(), host_buffer(valid), host_buffer(bad), host_buffer(Bytes(7, 0)), s));
       }},
      {"conversation_id",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(brenvik_ffi_fn_method_brenvikprotocol_send_typing_indicator(
             d.ref(), host_buffer(valid), host_buffer(bad), 1, s));
       }},
      {"file_name",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(brenvik_ffi_fn_method_brenvikprotocol_send_file(
             d.ref(), host_buffer(valid), host_buffer(cat({be32(3), {1, 2, 3}})), host_buffer(bad),
             s));
       }},
      {"message_json",
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         Bytes prio = cat({{1}, medium()});
         take(brenvik_ffi_fn_method_brenvikprotocol_forward_message(
             d.ref(), host_buffer(bad), host_buffer(valid), host_buffer(prio), s));
       }},
      {"peer_id",  // BLE link state
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_brenvikprotocol_ble_peer_discovered(d.ref(), host_buffer(bad), -40,
                                                                   s);
       }},
      {"peer_id",  // BLE intake
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_brenvikprotocol_ble_fragment_received(
             d.ref(), host_buffer(bad), host_buffer(cat({be32(1), {0}})), s);
       }},
      {"file_id",  // inbound files
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         take(
             brenvik_ffi_fn_method_brenvikprotocol_get_file_progress(d.ref(), host_buffer(bad), s));
       }},
      {"peer_id",  // MTU reports
       [&](Device& d, const Bytes& bad, BrenvikFfiCallStatus* s) {
         brenvik_ffi_fn_method_brenvikprotocol_ble_set_peer_mtu(d.ref(), host_buffer(bad), 512, s);
       }},
  };
  const std::vector<std::pair<const char*, Bytes>> bad_texts = {
      {"bytes that never start a character", {0xFF, 0xFE}},
      {"overlong NUL", {'a', 0xC0, 0x80}},
      {"UTF-16 surrogate", {0xED, 0xA0, 0x80, 'z'}},
  };
  size_t checked = 0;
  for (const auto& c : cases) {
    for (const auto& [what, bad] : bad_texts) {
      BrenvikFfiCallStatus st = fresh_status();
      c.call(p.a, bad, &st);
      ASSERT_EQ(st.code, 2) << c.arg << ": " << what;
      std::string text = take_error_text(st);
      EXPECT_EQ(text.rfind("Failed to convert arg '" + std::string(c.arg) + "':\n", 0), 0u)
          << c.arg << ": " << what << ": " << text;
      EXPECT_NE(text.find("utf-8"), std::string::npos) << text;
      ++checked;
    }
  }
  EXPECT_EQ(checked, cases.size() * bad_texts.size());

  // Nothing was sent, nothing waits for an acknowledgement, no event claims a send.
  EXPECT_FALSE(p.a.next_fragment());
  EXPECT_EQ(p.a.pending_acks(), 0u);
  EXPECT_EQ(Pair::count_of(Pair::drain_events(p.a), "message_sent"), 0u);

  // The object is unharmed: a valid message still arrives.
  p.a.send(p.b, "still here");
  p.settle();
  auto at_b = Pair::drain_events(p.b);
  ASSERT_EQ(Pair::count_of(at_b, "message_received"), 1u);
  bool found = false;
  for (const auto& e : at_b) found |= e.find("still here") != std::string::npos;
  EXPECT_TRUE(found);
}

// ---- callbacks that call back

struct Reentry {
  uint64_t target = 0;  // alice's handle; each nested call takes a clone
  bool sent_from_inside = false;
  std::vector<int> codes;  // status of every nested call
  std::vector<std::string> seen;
  uint64_t acks_seen = 0;
};
Reentry* g_reentry = nullptr;

uint64_t clone_of(uint64_t h) {
  BrenvikFfiCallStatus st = fresh_status();
  return brenvik_ffi_fn_clone_brenvikprotocol(h, &st);
}

void reentrant_on_event(uint64_t, BrenvikFfiByteBuffer event, uint8_t*, BrenvikFfiCallStatus*) {
  std::string json = take_text(event);
  Reentry& r = *g_reentry;
  r.seen.push_back(json);
  BrenvikFfiCallStatus st = fresh_status();
  r.acks_seen =
      brenvik_ffi_fn_method_brenvikprotocol_get_pending_ack_count(clone_of(r.target), &st);
  r.codes.push_back(st.code);
  st = fresh_status();
  take(brenvik_ffi_fn_method_brenvikprotocol_poll_event(clone_of(r.target), &st));
  r.codes.push_back(st.code);
  if (!r.sent_from_inside && json.find("\"type\":\"message_sent\"") != std::string::npos) {
    r.sent_from_inside = true;
    st = fresh_status();
    take(brenvik_ffi_fn_method_brenvikprotocol_send_message(
        clone_of(r.target), host_buffer("bob"), host_buffer("sent from inside on_event"),
        host_buffer(medium()), host_buffer(no_reply()), &st));
    r.codes.push_back(st.code);
  }
}

void noop_free(uint64_t) {}
uint64_t same_clone(uint64_t h) {
  return h;
}

TEST(HostCallbacks, OnEventMayCallTheSameObjectAndNothingHangs) {
  Watchdog watchdog(std::chrono::seconds(60));
  static const BrenvikFfiVTableEventCallback table{&noop_free, &same_clone, &reentrant_on_event};
  brenvik_ffi_fn_init_callback_vtable_eventcallback(&table);
  Pair p;
  Reentry r;
  r.target = p.a.ref();  // this test's own reference, released at the end
  g_reentry = &r;
  BrenvikFfiCallStatus st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(p.a.ref(), 1, &st);
  ASSERT_EQ(st.code, 0);

  // The send raises its events inside the locked section; they reach the
  // callback after the lock is released, and the callback's own send too.
  p.a.send(p.b, "first");
  ASSERT_TRUE(r.sent_from_inside);
  EXPECT_GE(r.acks_seen, 1u);
  for (size_t i = 0; i < r.codes.size(); ++i) EXPECT_EQ(r.codes[i], 0) << "nested call " << i;
  EXPECT_EQ(Pair::count_of(r.seen, "message_sent"), 2u) << "the nested send's event follows";
  p.settle();
  auto at_b = Pair::drain_events(p.b);
  EXPECT_EQ(Pair::count_of(at_b, "message_received"), 2u);

  st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(p.a.ref(), 2, &st);
  g_reentry = nullptr;
  brenvik_ffi_fn_free_brenvikprotocol(r.target, &st);
  register_callback_table(CallbackInterface::EventCallback, nullptr);
}

// A call made while this thread holds the object's lock (what a storage
// provider does when it calls back) is refused with a reason, never blocks.
TEST(HostCallbacks, ACallUnderTheObjectsOwnLockIsRefusedNotBlocked) {
  Watchdog watchdog(std::chrono::seconds(60));
  Device d("carol", "carol");
  uint64_t h = d.ref();
  auto self = Ref<BrenvikProtocol>::adopt(h);
  auto g = (*self).lock_inner();
  ASSERT_TRUE(g.ok());

  BrenvikFfiCallStatus st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_get_pending_ack_count(d.ref(), &st);
  ASSERT_EQ(st.code, 2);
  EXPECT_NE(take_error_text(st).find("called from inside a host callback"), std::string::npos);

  st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_start(d.ref(), &st);
  ASSERT_EQ(st.code, 1);
  Bytes e = take(st.error_buf);
  EXPECT_EQ(Bytes(e.begin(), e.begin() + 4), be32(8)) << "InvalidState";
}

// ---- handles

std::string error_of(BrenvikFfiCallStatus& st) {
  EXPECT_EQ(st.code, 2);
  return take_error_text(st);
}

TEST(HostHandles, FreedDoubleFreedMadeUpAndMistypedHandlesAreRefused) {
  BrenvikFfiCallStatus st = fresh_status();
  uint64_t h = brenvik_ffi_fn_constructor_brenvikprotocol_new(
      host_buffer(brenvik_host::plain_config("t", "dave")), &st);
  ASSERT_EQ(st.code, 0);
  uint64_t ds = brenvik_ffi_fn_constructor_datastore_new(clone_of(h), &st);
  ASSERT_EQ(st.code, 0);

  // A DataStore handle where a BrenvikProtocol is expected.
  take(brenvik_ffi_fn_method_brenvikprotocol_get_state(brenvik_ffi_fn_clone_datastore(ds, &st),
                                                       &st));
  EXPECT_NE(error_of(st).find("names an object of another type"), std::string::npos);
  st = fresh_status();

  brenvik_ffi_fn_free_datastore(ds, &st);
  ASSERT_EQ(st.code, 0);
  brenvik_ffi_fn_free_brenvikprotocol(h, &st);
  ASSERT_EQ(st.code, 0);

  const std::vector<std::pair<const char*, uint64_t>> dead = {
      {"freed", h},
      {"made up", 0x00C0FFEE00001234ull},
      {"index past every slot", 0x00000001FFFFFFF0ull},
      {"same slot, other generation", h ^ (uint64_t(0x40) << 32)},
  };
  for (const auto& [what, handle] : dead) {
    st = fresh_status();
    take(brenvik_ffi_fn_method_brenvikprotocol_get_state(handle, &st));
    EXPECT_EQ(error_of(st), "invalid object handle " + std::to_string(handle) +
                                ": the object was freed, or the handle was never issued")
        << what;
    st = fresh_status();
    brenvik_ffi_fn_clone_brenvikprotocol(handle, &st);
    EXPECT_EQ(st.code, 2) << what;
    take(st.error_buf);
    st = fresh_status();
    brenvik_ffi_fn_free_brenvikprotocol(handle, &st);  // the double free for `h`
    EXPECT_EQ(st.code, 2) << what;
    take(st.error_buf);
  }

  // A slot handed out again gets a new generation: the old handle stays dead.
  st = fresh_status();
  uint64_t next = brenvik_ffi_fn_constructor_brenvikprotocol_new(
      host_buffer(brenvik_host::plain_config("t", "erin")), &st);
  ASSERT_EQ(st.code, 0);
  EXPECT_NE(next, h);
  take(brenvik_ffi_fn_method_brenvikprotocol_get_state(h, &st));
  EXPECT_EQ(st.code, 2);
  take(st.error_buf);
  st = fresh_status();
  EXPECT_EQ(take(brenvik_ffi_fn_method_brenvikprotocol_get_state(clone_of(next), &st)), be32(1))
      << "Stopped";
  EXPECT_EQ(st.code, 0);
  brenvik_ffi_fn_free_brenvikprotocol(next, &st);
}

// ---- callback handles

TEST(HostCallbacks, AHandleForAnUnregisteredTableIsRefusedWhenSet) {
  register_callback_table(CallbackInterface::EventCallback, nullptr);
  register_callback_table(CallbackInterface::BleTransportCallback, nullptr);
  Device d("frank", "frank");
  BrenvikFfiCallStatus st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_set_event_callback(d.ref(), 42, &st);
  ASSERT_EQ(st.code, 2);
  EXPECT_EQ(take_error_text(st),
            "callback table not set for EventCallback: register it before passing a handle");
  st = fresh_status();
  brenvik_ffi_fn_method_brenvikprotocol_set_ble_transport_callback(d.ref(), 43, &st);
  ASSERT_EQ(st.code, 2);
  EXPECT_EQ(take_error_text(st),
            "callback table not set for BleTransportCallback: register it before passing a "
            "handle");
}

}  // namespace
}  // namespace brenvik::ffi
