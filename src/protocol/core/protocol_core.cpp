#include "protocol/core/protocol_core.h"

#include <algorithm>

#include "transport/ble_transport.h"
#include "util/log.h"

namespace brenvik {

Result<std::unique_ptr<ProtocolCore>, ProtocolError> ProtocolCore::create(ProtocolConfig config,
                                                                          const Clock& clock) {
  if (auto v = config.first_violation()) return Err(ProtocolError::invalid_config(std::move(*v)));
  return std::unique_ptr<ProtocolCore>(new ProtocolCore(std::move(config), clock));
}

ProtocolCore::ProtocolCore(ProtocolConfig config, const Clock& clock)
    : config_(std::move(config)),
      clock_(clock),
      local_user_id_(config_.local_user_id),
      transport_manager_(config_.dors, clock),
      ack_manager_(config_.ack.default_timeout_ms, config_.ack.max_pending_acks, clock),
      retry_queue_(config_.retry, clock),
      deduplicator_(config_.reliability.dedup, clock),
      last_custody_sweep_(clock.monotonic()),
      mesh_(config_.mesh_relay, clock.monotonic(), clock) {
  scrub_secret_ = Uuid::random_v4().bytes;
}

ProtocolCore::~ProtocolCore() {
  // The release persistence (Lamport clock, Nostr watermark, seen set,
  // open documents) writes through the protocol-state storage; without a
  // storage handle every write is skipped, and none is installed yet.
}

void ProtocolCore::add_observer(EventObserver observer) {
  auto g = lock_or_recover(events_.state());
  g->event_observers.push_back(std::make_shared<EventObserver>(std::move(observer)));
}

Result<LifecycleState, ProtocolError> ProtocolCore::lifecycle() const {
  BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
  return g->lifecycle;
}

void ProtocolCore::set_user_blocked(const std::string& user_id, bool blocked) {
  if (blocked)
    blocked_users_.insert(user_id);
  else
    blocked_users_.erase(user_id);
}

// ------------------------------------------------------------------ events

void ProtocolCore::emit_event(ProtocolEvent event) {
  events_.emit(std::move(event));
}

void ProtocolCore::emit_or_defer_event(ProtocolEvent event) {
  events_.emit_or_defer(std::move(event));
}

void ProtocolCore::emit_or_defer_event_batch(std::vector<ProtocolEvent> events) {
  events_.emit_or_defer_batch(std::move(events));
}

void ProtocolCore::flush_deferred_events() {
  events_.flush_deferred();
}

// --------------------------------------------------------------- lifecycle

Result<void, ProtocolError> ProtocolCore::start() {
  {
    BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
    if (g->lifecycle != LifecycleState::Stopped) return Err(ProtocolError::already_started());
  }
  BRENVIK_TRY_VOID(transport_manager_.start_all());
  // The Nostr switches go to the Nostr transport once one can be registered.

  // The registry and the BLE transport deliver through their own handles of
  // the shared state, so they need the core neither to exist nor to be free.
  transport_manager_.set_event_sink(make_transport_event_sink(events_.handle()));
  if (auto ble = transport_cast<BleTransport>(transport_manager_.get(TransportType::Ble).get()))
    ble->set_eviction_observer(make_fragment_eviction_callback(events_.handle()));
  {
    BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
    g->lifecycle = LifecycleState::Running;
  }
  flush_deferred_events();
  // Re-driving messages waiting for sessions, document version offers, the
  // session-confirmation scan and the Welcome time-out check belong to the
  // session and data layers and run here once those exist.
  flush_outbox();
  // Interrupted media transfers are settled here once the media path
  // persists descriptors.
  return {};
}

Result<void, ProtocolError> ProtocolCore::stop() {
  {
    BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
    if (g->lifecycle == LifecycleState::Stopped) return {};
  }
  // Persisting the clock, the watermark and the seen set, and answering
  // username resolutions, need the storage and Nostr layers.
  transport_manager_.set_event_sink(std::nullopt);
  if (auto ble = transport_cast<BleTransport>(transport_manager_.get(TransportType::Ble).get()))
    ble->set_eviction_observer(std::nullopt);
  BRENVIK_TRY_VOID(transport_manager_.stop_all());
  BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
  g->lifecycle = LifecycleState::Stopped;
  return {};
}

Result<void, ProtocolError> ProtocolCore::pause() {
  // The Lamport clock and the Nostr watermark are written here in every
  // case once a storage provider exists.
  BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
  if (g->lifecycle != LifecycleState::Running) return Err(ProtocolError::not_started());
  g->lifecycle = LifecycleState::Paused;
  return {};
}

Result<void, ProtocolError> ProtocolCore::resume() {
  {
    BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
    if (g->lifecycle != LifecycleState::Paused)
      return Err(ProtocolError::invalid_config("Protocol is not paused"));
    g->lifecycle = LifecycleState::Running;
  }
  flush_deferred_events();
  return {};
}

Result<void, ProtocolError> ProtocolCore::require_running() const {
  BRENVIK_TRY(auto g, lock_shared_state(events_.state()));
  if (g->lifecycle != LifecycleState::Running) return Err(ProtocolError::not_started());
  return {};
}

Result<void, ProtocolError> ProtocolCore::deliver_locked(ProtocolEvent event,
                                                         std::string_view failure_log,
                                                         std::string_view log_target) {
  auto g = lock_shared_state(events_.state());
  if (!g.ok()) {
    BRENVIK_LOG(LogLevel::Error, log_target,
                {"message", std::string(failure_log) + g.error().message()});
    return Err(std::move(g).error());
  }
  deliver_event(**g, std::move(event));
  return {};
}

}  // namespace brenvik
