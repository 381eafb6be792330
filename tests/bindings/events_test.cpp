// The event stream: the bounded queue and delivery that never loses an event
// because the host's callback failed.
#include <gtest/gtest.h>

#include "bindings/events.h"
#include "fake_host.h"

namespace brenvik::ffi {
namespace {
using testing::FakeHost;
using testing::Reply;

TEST(EventQueue, HoldsAtMost1000AndDropsTheOldest) {
  EventQueue q;
  EXPECT_FALSE(q.pop());
  for (int i = 1; i <= 1001; ++i) q.push(std::to_string(i));
  EXPECT_EQ(q.size(), 1000u);
  EXPECT_EQ(q.pop().value_or(""), std::string("2"));
  EXPECT_EQ(q.size(), 999u);
}

TEST(EventDelivery, CallbackSeesEachEventAndTheQueueKeepsIt) {
  FakeHost host;
  host.register_all();
  EventCallbackSlot slot;
  EventQueue q;
  deliver_host_event(slot, q, "{\"n\":0}");  // no callback registered
  slot.set(make_proxy<EventCallbackProxy>(3));
  deliver_host_event(slot, q, "{\"n\":1}");
  EXPECT_EQ(host.calls, (std::vector<std::string>{"event {\"n\":1}"}));
  EXPECT_EQ(q.pop(), "{\"n\":0}");
  EXPECT_EQ(q.pop(), "{\"n\":1}");
}

TEST(EventDelivery, AFailingCallbackDoesNotLoseTheEvent) {
  FakeHost host;
  host.register_all();
  EventCallbackSlot slot;
  EventQueue q;
  slot.set(make_proxy<EventCallbackProxy>(3));
  host.script.push_back(Reply{2, to_bytes("host crashed"), std::nullopt});
  deliver_host_event(slot, q, "a");
  host.script.push_back(Reply{1, {}, std::nullopt});
  deliver_host_event(slot, q, "b");
  // A table that vanished makes the proxy fault; the event is still queued.
  register_callback_table(CallbackInterface::EventCallback, nullptr);
  deliver_host_event(slot, q, "c");
  EXPECT_EQ(q.pop(), "a");
  EXPECT_EQ(q.pop(), "b");
  EXPECT_EQ(q.pop(), "c");
  host.register_all();
}

TEST(EventDelivery, ReplacingTheCallbackReleasesTheOldOne) {
  FakeHost host;
  host.register_all();
  EventCallbackSlot slot;
  slot.set(make_proxy<EventCallbackProxy>(1));
  slot.set(make_proxy<EventCallbackProxy>(2));
  EXPECT_EQ(host.freed, (std::vector<uint64_t>{1}));
  slot.set(nullptr);
  EXPECT_EQ(host.freed, (std::vector<uint64_t>{1, 2}));
}

}  // namespace
}  // namespace brenvik::ffi
