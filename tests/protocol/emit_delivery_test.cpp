#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/emit/event_delivery.h"
#include "protocol/emit/security_warnings.h"
#include "protocol/helpers/scrub_hash.h"
#include "util/log.h"

namespace brenvik {
namespace {

ProtocolEvent neighbor_lost(const std::string& peer) {
  return event::NeighborLost{peer};
}

std::string peer_of(const ProtocolEvent& e) {
  auto* lost = e.get_if<event::NeighborLost>();
  return lost ? lost->peer_id : std::string("<other kind>");
}

// A telemetry sink double: declines or consumes in observe, keeps what it
// records, and can be told to throw.
class RecordingSink final : public TelemetrySink {
 public:
  bool consume = false;
  bool throw_on_record = false;
  std::vector<ProtocolEvent> recorded;
  int observed = 0;

  void record(TelemetryInput input) override {
    if (throw_on_record) throw std::runtime_error("sink exploded");
    recorded.push_back(*std::get<TelemetryEventInput>(input).event);
  }
  bool observe(const ProtocolEvent&) override {
    ++observed;
    return consume;
  }
};

class EmitTest : public ::testing::Test {
 protected:
  // Registers an observer that appends the peer id of what it sees.
  void observe_into(std::vector<std::string>& seen) {
    shared->lock()->event_observers.push_back(
        std::make_shared<EventObserver>([&seen](ProtocolEvent e) { seen.push_back(peer_of(e)); }));
  }
  void set_lifecycle(LifecycleState s) { shared->lock()->lifecycle = s; }
  void poison() {
    try {
      auto g = shared->lock();
      throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
    ASSERT_TRUE(shared->is_poisoned());
  }
  std::shared_ptr<RecordingSink> attach_sink(std::optional<ScrubKey> key) {
    auto sink = std::make_shared<RecordingSink>();
    auto tap = std::make_shared<TelemetryTap>();
    tap->sink = sink;
    tap->scrub_key = key;
    shared->lock()->telemetry_tap = tap;
    return sink;
  }

  std::shared_ptr<SharedStateMutex> shared = std::make_shared<SharedStateMutex>();
  DeferredEvents deferred;
};

TEST_F(EmitTest, ThrowingObserverDoesNotStopTheOthers) {
  std::vector<std::string> first, third;
  observe_into(first);
  shared->lock()->event_observers.push_back(
      std::make_shared<EventObserver>([](ProtocolEvent) { throw std::runtime_error("bad"); }));
  observe_into(third);

  ScopedLogCapture logs(LogLevel::Warn);
  emit_event(*shared, neighbor_lost("peer-secret"));
  EXPECT_EQ(first, std::vector<std::string>{"peer-secret"});
  EXPECT_EQ(third, std::vector<std::string>{"peer-secret"});

  const auto entries = logs.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, LogLevel::Error);
  EXPECT_EQ(entries[0].target, "brenvik_protocol::protocol::types");
  EXPECT_NE(entries[0].message.find("EventCallback panicked; continuing. Handlers must not panic "
                                    "\xE2\x80\x94 see BrenvikProtocol::on_event."),
            std::string::npos);
  EXPECT_NE(entries[0].message.find("NeighborLost"), std::string::npos) << entries[0].message;
  EXPECT_EQ(entries[0].message.find("peer-secret"), std::string::npos) << entries[0].message;
}

TEST_F(EmitTest, EmitOnPoisonedStateDropsTheEventSilently) {
  std::vector<std::string> seen;
  observe_into(seen);
  poison();
  ScopedLogCapture logs(LogLevel::Trace);
  emit_event(*shared, neighbor_lost("p"));
  EXPECT_TRUE(seen.empty());
  EXPECT_TRUE(logs.entries().empty());
  EXPECT_FALSE(lock_shared_state(*shared).ok());
  EXPECT_EQ(lock_shared_state(*shared).error(),
            ProtocolError::internal("Shared state mutex poisoned"));
}

TEST_F(EmitTest, EmitDeliversWhateverTheLifecycle) {
  std::vector<std::string> seen;
  observe_into(seen);
  for (LifecycleState s : {LifecycleState::Stopped, LifecycleState::Paused}) {
    set_lifecycle(s);
    emit_event(*shared, neighbor_lost("p"));
  }
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(EmitTest, FullDeferredBufferDropsTheNewestAndReportsOnceAtFlush) {
  std::vector<std::string> seen;
  observe_into(seen);
  set_lifecycle(LifecycleState::Paused);
  for (int i = 0; i < 8190; ++i) ASSERT_TRUE(deferred.defer(neighbor_lost("old")));

  std::vector<ProtocolEvent> batch;
  for (int i = 0; i < 5; ++i) batch.push_back(neighbor_lost("b" + std::to_string(i)));
  emit_or_defer_event_batch(*shared, deferred, std::move(batch));
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(deferred.events.size(), 8192u);
  EXPECT_EQ(peer_of(deferred.events[8190]), "b0");
  EXPECT_EQ(peer_of(deferred.events[8191]), "b1");
  EXPECT_EQ(deferred.dropped, 3u);

  set_lifecycle(LifecycleState::Running);
  ScopedLogCapture logs(LogLevel::Warn);
  flush_deferred_events(*shared, deferred);
  ASSERT_EQ(seen.size(), 8192u);
  EXPECT_EQ(seen.back(), "b1");
  EXPECT_TRUE(deferred.events.empty());
  EXPECT_EQ(deferred.dropped, 0u);
  const auto entries = logs.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].level, LogLevel::Warn);
  EXPECT_NE(entries[0].message.find("suppressed=3"), std::string::npos) << entries[0].message;
  EXPECT_NE(entries[0].message.find("cap=8192"), std::string::npos) << entries[0].message;

  // Nothing dropped since: a second flush logs nothing.
  flush_deferred_events(*shared, deferred);
  EXPECT_EQ(logs.entries().size(), 1u);
}

TEST_F(EmitTest, BatchReadsTheLifecycleOnce) {
  std::vector<std::string> seen;
  EventSharedState* state = nullptr;
  {
    auto g = shared->lock();
    state = &*g;
  }
  // The observer runs under the lock; it stops the protocol mid-batch.
  shared->lock()->event_observers.push_back(std::make_shared<EventObserver>([&](ProtocolEvent e) {
    seen.push_back(peer_of(e));
    state->lifecycle = LifecycleState::Stopped;
  }));
  set_lifecycle(LifecycleState::Running);
  emit_or_defer_event_batch(*shared, deferred,
                            {neighbor_lost("a"), neighbor_lost("b"), neighbor_lost("c")});
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(deferred.events.empty());

  // Now stopped: the single-event form defers.
  emit_or_defer_event(*shared, deferred, neighbor_lost("d"));
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(deferred.events.size(), 1u);
}

TEST_F(EmitTest, PoisonedLockCountsAsNotRunning) {
  set_lifecycle(LifecycleState::Running);
  poison();
  emit_or_defer_event_batch(*shared, deferred, {neighbor_lost("a"), neighbor_lost("b")});
  EXPECT_EQ(deferred.events.size(), 2u);
}

TEST_F(EmitTest, TelemetryRecordsScrubbedCopyObserversSeeTheOriginal) {
  ScrubKey key;
  key.fill(0x42);
  auto sink = attach_sink(key);
  std::vector<ProtocolEvent> observed;
  shared->lock()->event_observers.push_back(
      std::make_shared<EventObserver>([&](ProtocolEvent e) { observed.push_back(e); }));

  const event::UsernameResolved original{
      "alice", {{"npub1aaa", "pk-a", 1}, {"npub1bbb", "pk-b", 2}}, 4, 5};
  emit_event(*shared, ProtocolEvent(original));
  emit_event(*shared, ProtocolEvent(original));

  ASSERT_EQ(observed.size(), 2u);
  EXPECT_EQ(*observed[0].get_if<event::UsernameResolved>(), original);
  ASSERT_EQ(sink->recorded.size(), 2u);
  const auto* r = sink->recorded[0].get_if<event::UsernameResolved>();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->username, keyed_scrub_hash(key, std::string_view("alice")));
  ASSERT_EQ(r->claims.size(), 2u);
  EXPECT_EQ(r->claims[1].address, keyed_scrub_hash(key, std::string_view("npub1bbb")));
  EXPECT_EQ(r->claims[1].public_key, keyed_scrub_hash(key, std::string_view("pk-b")));
  EXPECT_EQ(r->claims[1].issued_at_ms, 2);  // numbers are never scrubbed
  EXPECT_EQ(r->rejected, 4u);
  EXPECT_EQ(sink->recorded[1], sink->recorded[0]);  // stable under one key
}

TEST_F(EmitTest, TelemetryWithoutKeyKeepsIdentifiers) {
  auto sink = attach_sink(std::nullopt);
  emit_event(*shared, neighbor_lost("peer-1"));
  ASSERT_EQ(sink->recorded.size(), 1u);
  EXPECT_EQ(peer_of(sink->recorded[0]), "peer-1");
}

TEST_F(EmitTest, MediaKeyMaterialNeverReachesTelemetry) {
  auto sink = attach_sink(std::nullopt);
  std::vector<ProtocolEvent> observed;
  shared->lock()->event_observers.push_back(
      std::make_shared<EventObserver>([&](ProtocolEvent e) { observed.push_back(e); }));

  event::MessageReceived m;
  m.message_id = "m1";
  m.sender = "bob";
  MediaMetadata media;
  media.mime_type = "image/png";
  media.iv = "iv-bytes";
  m.media_metadata = media;
  emit_event(*shared, ProtocolEvent(m));

  ASSERT_EQ(observed.size(), 1u);
  EXPECT_EQ(observed[0].get_if<event::MessageReceived>()->media_metadata->iv, "iv-bytes");
  ASSERT_EQ(sink->recorded.size(), 1u);
  const auto& recorded = *sink->recorded[0].get_if<event::MessageReceived>()->media_metadata;
  EXPECT_FALSE(recorded.iv.has_value());
  EXPECT_FALSE(recorded.encryption_key.has_value());
  EXPECT_EQ(recorded.mime_type, "image/png");
}

TEST_F(EmitTest, ConsumingOrDisabledSinkGetsNoCopy) {
  auto sink = attach_sink(std::nullopt);
  sink->consume = true;
  emit_event(*shared, neighbor_lost("p"));
  EXPECT_EQ(sink->observed, 1);
  EXPECT_TRUE(sink->recorded.empty());

  sink->consume = false;
  shared->lock()->telemetry_tap->enabled->store(false);
  emit_event(*shared, neighbor_lost("p"));
  EXPECT_EQ(sink->observed, 1);
  EXPECT_TRUE(sink->recorded.empty());
}

TEST_F(EmitTest, ThrowingSinkLosesOnlyItsInput) {
  auto sink = attach_sink(std::nullopt);
  sink->throw_on_record = true;
  std::vector<std::string> seen;
  observe_into(seen);

  ScopedLogCapture logs(LogLevel::Warn);
  emit_event(*shared, ProtocolEvent(event::UsernameResolved{"alice", {}, 0, 0}));
  const auto entries = logs.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].target, "brenvik_protocol::telemetry::dispatch");
  EXPECT_NE(entries[0].message.find("TelemetrySink panicked; record dropped."), std::string::npos);
  EXPECT_NE(entries[0].message.find("protocol.username.resolved"), std::string::npos)
      << entries[0].message;
  EXPECT_NE(entries[0].message.find("sink exploded"), std::string::npos);
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(EmitTest, TransportSinkRecoversFromPoisonAndDelivers) {
  std::vector<std::string> seen;
  observe_into(seen);
  poison();
  ScopedLogCapture logs(LogLevel::Warn);
  EventObserver sink = make_transport_event_sink(shared);
  sink(neighbor_lost("p1"));
  sink(neighbor_lost("p2"));
  EXPECT_EQ(seen, (std::vector<std::string>{"p1", "p2"}));
  const auto entries = logs.entries();
  ASSERT_EQ(entries.size(), 2u);  // the poison mark stays: every lock warns
  EXPECT_NE(entries[0].message.find("Mutex poisoned"), std::string::npos);
}

TEST_F(EmitTest, EvictedFragmentAssemblyRaisesItsEvent) {
  std::vector<ProtocolEvent> observed;
  shared->lock()->event_observers.push_back(
      std::make_shared<EventObserver>([&](ProtocolEvent e) { observed.push_back(e); }));
  set_lifecycle(LifecycleState::Stopped);  // never deferred
  EvictionObserver evict = make_fragment_eviction_callback(shared);
  evict(EvictedAssembly{"link-7", "msg-9", 40});
  ASSERT_EQ(observed.size(), 1u);
  EXPECT_EQ(*observed[0].get_if<event::FragmentAssemblyEvicted>(),
            (event::FragmentAssemblyEvicted{"msg-9", 40, "capacity"}));
}

// Security warnings.

using R = SecurityWarningReason;

class SecurityWarningTest : public EmitTest {
 protected:
  void SetUp() override {
    shared->lock()->event_observers.push_back(
        std::make_shared<EventObserver>([this](ProtocolEvent e) {
          if (auto* w = e.get_if<event::SecurityWarning>()) raised.push_back(*w);
        }));
  }
  void warn(const std::string& peer, R reason) {
    emit_security_warning_throttled(*shared, throttle, peer, reason, "detail");
  }
  SecurityWarningThrottle throttle;
  std::vector<event::SecurityWarning> raised;
};

TEST_F(SecurityWarningTest, ThrottledOncePerPeerAndReason) {
  warn("peer", R::StaleControlFrame);
  warn("peer", R::StaleControlFrame);
  EXPECT_EQ(raised.size(), 1u);
  warn("peer", R::ControlSignatureInvalid);
  EXPECT_EQ(raised.size(), 2u);
  warn("Peer", R::StaleControlFrame);  // case matters
  EXPECT_EQ(raised.size(), 3u);
  EXPECT_EQ(raised[0], (event::SecurityWarning{"peer", R::StaleControlFrame, "detail"}));
}

TEST_F(SecurityWarningTest, UnthrottledReasonsRaiseEveryTime) {
  warn("peer", R::PlaintextSend);
  warn("peer", R::PlaintextSend);
  EXPECT_EQ(raised.size(), 2u);
  EXPECT_EQ(throttle.peer_count(), 0u);

  const R throttled[] = {R::SenderAddressMismatch,   R::TransportIdentityMismatch,
                         R::ControlSignatureInvalid, R::UnsignedControlRejected,
                         R::StaleControlFrame,       R::KeyPackageOutsideValidityWindow};
  for (R r : throttled) EXPECT_TRUE(SecurityWarningThrottle::is_throttled(r));
  EXPECT_FALSE(SecurityWarningThrottle::is_throttled(R::SessionRekeyTriggered));
}

TEST_F(SecurityWarningTest, FullMapEmptiesOnlyForANewPeer) {
  for (int i = 0; i < 1000; ++i) warn("p" + std::to_string(i), R::StaleControlFrame);
  ASSERT_EQ(throttle.peer_count(), 1000u);

  warn("p5", R::SenderAddressMismatch);  // known peer, new reason: no clearing
  EXPECT_EQ(throttle.peer_count(), 1000u);
  const size_t before = raised.size();
  warn("p7", R::StaleControlFrame);
  EXPECT_EQ(raised.size(), before);  // still suppressed

  warn("newcomer", R::StaleControlFrame);
  EXPECT_EQ(throttle.peer_count(), 1u);
  EXPECT_EQ(raised.size(), before + 1);
  warn("p7", R::StaleControlFrame);  // forgotten, raised again
  EXPECT_EQ(raised.size(), before + 2);
}

TEST_F(SecurityWarningTest, PoisonedStateLosesTheEventButRecordsThePair) {
  poison();
  warn("peer", R::StaleControlFrame);
  EXPECT_TRUE(raised.empty());
  EXPECT_EQ(throttle.peer_count(), 1u);
}

}  // namespace
}  // namespace brenvik
