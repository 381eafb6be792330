// Two protocol cores joined by their real BLE transports: what one device
// queues for the radio is split into fragments, carried (or lost) by the
// test, reassembled by the other device and run through its receive path,
// exactly as a host moves fragments between two phones.
#include <gtest/gtest.h>

#include "core_test_support.h"
#include "transport/ble_transport.h"

namespace brenvik::testing {
namespace {

struct Device {
  std::unique_ptr<ProtocolCore> core;
  std::shared_ptr<BleTransport> ble;
  std::vector<ProtocolEvent> events;

  template <typename T>
  std::vector<T> events_of() const {
    std::vector<T> out;
    for (const auto& e : events)
      if (auto p = e.get_if<T>()) out.push_back(*p);
    return out;
  }
  std::vector<std::string> tags() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.emplace_back(e.tag());
    return out;
  }
};

class TwoDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    make(a, "alice");
    make(b, "bob");
    a.ble->peer_discovered(BlePeer{"bob", -50, {}, 0, true});
    b.ble->peer_discovered(BlePeer{"alice", -50, {}, 0, true});
  }

  void make(Device& d, const std::string& user) {
    ProtocolConfig c = plaintext_config();
    c.local_user_id = user;
    auto r = ProtocolCore::create(std::move(c), clock);
    ASSERT_TRUE(r.ok()) << r.error().message();
    d.core = std::move(r).value();
    d.ble = std::make_shared<BleTransport>(clock);
    d.core->transports().register_transport(TransportType::Ble, d.ble);
    Device* dp = &d;
    d.core->add_observer([dp](ProtocolEvent e) { dp->events.push_back(std::move(e)); });
    ASSERT_TRUE(d.core->start().ok());
  }

  // Moves every queued fragment from `from` to `to` (or throws it away),
  // then lets `to` drain what was reassembled. Returns the fragments moved.
  size_t carry(Device& from, Device& to, const std::string& from_id, bool drop) {
    size_t n = 0;
    for (;;) {
      auto f = from.ble->get_next_fragment();
      EXPECT_TRUE(f.ok());
      if (!f.ok() || !f.value()) break;
      ++n;
      if (!drop) {
        EXPECT_TRUE(to.ble->on_fragment_received_from(from_id, f.value()->bytes).ok());
      }
    }
    to.core->drain_received();
    return n;
  }
  // Carries in both directions until the link is quiet.
  void pump(bool drop_a_to_b = false, bool drop_b_to_a = false) {
    for (int round = 0; round < 16; ++round) {
      size_t moved = carry(a, b, "alice", drop_a_to_b) + carry(b, a, "bob", drop_b_to_a);
      if (moved == 0) return;
    }
    ADD_FAILURE() << "link never went quiet";
  }
  void send_hello() {
    auto id = a.core->send_message("bob", "hello", SendOptions{});
    ASSERT_TRUE(id.ok()) << id.error().message();
    sent_id = display_message_id(id.value());
  }
  void expect_settled(const Device& d) {
    EXPECT_EQ(d.core->ack_manager().size(), 0u);
    EXPECT_EQ(d.core->retry_queue().size(), 0u);
    EXPECT_TRUE(d.core->TEST_outbox().entries().empty());
  }

  ManualClock clock;
  Device a, b;
  std::string sent_id;
};

TEST_F(TwoDevices, PlaintextMessageIsReceivedAndAcknowledged) {
  send_hello();
  pump();

  auto received = b.events_of<event::MessageReceived>();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].content, "hello");
  EXPECT_EQ(received[0].sender, "alice");
  EXPECT_EQ(received[0].recipient, "bob");
  EXPECT_EQ(received[0].message_id, sent_id);
  EXPECT_EQ(received[0].transport, "ble");
  EXPECT_FALSE(received[0].encrypted);

  std::vector<std::string> order;
  for (const auto& t : a.tags())
    if (t == "message_sent" || t == "message_delivered") order.push_back(t);
  EXPECT_EQ(order, (std::vector<std::string>{"message_sent", "message_delivered"}));
  auto delivered = a.events_of<event::MessageDelivered>();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].message_id, sent_id);
  EXPECT_EQ(delivered[0].transport, "ble");
  expect_settled(a);
}

TEST_F(TwoDevices, DeadLinkRetriesAndHealedLinkDeliversOnce) {
  send_hello();
  pump(/*drop_a_to_b=*/true, /*drop_b_to_a=*/true);
  clock.advance(std::chrono::milliseconds(10'001));  // past the acknowledgement time-out
  ASSERT_TRUE(a.core->process_tick().ok());
  pump(true, true);
  EXPECT_FALSE(a.events_of<event::MessageRetrying>().empty());
  EXPECT_TRUE(b.events_of<event::MessageReceived>().empty());

  // The link heals: the next due retry goes through.
  for (int i = 0; i < 20 && a.core->retry_queue().size() + a.core->ack_manager().size(); ++i) {
    clock.advance(std::chrono::seconds(5));
    ASSERT_TRUE(a.core->process_tick().ok());
    pump();
  }
  EXPECT_EQ(b.events_of<event::MessageReceived>().size(), 1u);
  EXPECT_EQ(a.events_of<event::MessageDelivered>().size(), 1u);
  expect_settled(a);
}

// The message arrives but its acknowledgement is lost: the resend is a
// duplicate, acknowledged again without a second delivery to the host.
TEST_F(TwoDevices, LostAcknowledgementIsRepeatedForTheResend) {
  send_hello();
  pump(/*drop_a_to_b=*/false, /*drop_b_to_a=*/true);
  ASSERT_EQ(b.events_of<event::MessageReceived>().size(), 1u);
  EXPECT_TRUE(a.events_of<event::MessageDelivered>().empty());

  for (int i = 0; i < 20 && a.core->retry_queue().size() + a.core->ack_manager().size(); ++i) {
    clock.advance(std::chrono::seconds(11));
    ASSERT_TRUE(a.core->process_tick().ok());
    pump();
  }
  EXPECT_EQ(b.events_of<event::MessageReceived>().size(), 1u);
  EXPECT_EQ(a.events_of<event::MessageDelivered>().size(), 1u);
  expect_settled(a);
}

TEST_F(TwoDevices, BothDirectionsInTurn) {
  send_hello();
  pump();
  auto reply = b.core->send_message("alice", "hi back", SendOptions{});
  ASSERT_TRUE(reply.ok());
  pump();
  auto at_a = a.events_of<event::MessageReceived>();
  ASSERT_EQ(at_a.size(), 1u);
  EXPECT_EQ(at_a[0].content, "hi back");
  // The reply carries B's Lamport clock, which had merged A's.
  EXPECT_GT(at_a[0].lamport_clock, 1u);
  EXPECT_EQ(b.events_of<event::MessageDelivered>().size(), 1u);
  expect_settled(a);
  expect_settled(b);
}

}  // namespace
}  // namespace brenvik::testing
