#include "protocol/emit/event_delivery.h"

#include <exception>

#include "protocol/emit/telemetry_event_name.h"
#include "protocol/helpers/core_helpers.h"
#include "util/log.h"

namespace brenvik {
namespace {

constexpr std::string_view kObserverLogTarget = "brenvik_protocol::protocol::types";
constexpr std::string_view kObserverPanicText =
    "EventCallback panicked; continuing. Handlers must not panic \xE2\x80\x94 see "
    "BrenvikProtocol::on_event.";
constexpr std::string_view kTelemetryLogTarget = "brenvik_protocol::telemetry::dispatch";
constexpr std::string_view kSinkPanicText =
    "TelemetrySink panicked; record dropped. Sinks must not panic \xE2\x80\x94 see the "
    "TelemetrySink docstring.";
constexpr std::string_view kEmitLogTarget = "brenvik_protocol::protocol::core";
constexpr std::string_view kDeferredDroppedText =
    "Restore produced more terminal settlements than any legitimate run can produce; the ids "
    "past the cap were not reported individually";

void log_sink_failure(const ProtocolEvent& event, const std::exception_ptr& payload) {
  const std::string panic = panic_payload_text(payload);
  BRENVIK_LOG(LogLevel::Error, kTelemetryLogTarget, {"message", kSinkPanicText},
              {"telemetry_record", telemetry_event_name(event.kind())}, {"panic", panic});
}

bool carries_media_key_material(const ProtocolEvent& e) {
  auto has = [](const std::optional<MediaMetadata>& m) { return m && m->has_key_material(); };
  if (auto* r = e.get_if<event::MessageReceived>()) return has(r->media_metadata);
  if (auto* f = e.get_if<event::FileReceived>()) return has(f->media_metadata);
  if (auto* g = e.get_if<event::GroupMessageReceived>()) return has(g->media_metadata);
  return false;
}

bool is_running(SharedStateMutex& shared) {
  auto guard = lock_shared_state(shared);
  return guard.ok() && guard.value()->lifecycle == LifecycleState::Running;
}

void deliver_recovering(SharedStateMutex& shared, ProtocolEvent event) {
  auto guard = lock_or_recover(shared);
  deliver_event(*guard, std::move(event));
}

}  // namespace

void deliver_event(EventSharedState& state, ProtocolEvent event) {
  for (const auto& observer : state.event_observers) {
    try {
      (*observer)(ProtocolEvent(event));
    } catch (...) {
      BRENVIK_LOG(LogLevel::Error, kObserverLogTarget, {"message", kObserverPanicText},
                  {"event", LogValue::display(event.diagnostic_text())});
    }
  }

  const std::shared_ptr<TelemetryTap> tap = state.telemetry_tap;
  if (!tap || !tap->sink || !tap->enabled || !tap->enabled->load()) return;
  try {
    if (tap->sink->observe(event)) return;
  } catch (...) {
    // A sink that throws while looking is treated like one that throws
    // while recording: it loses this event only.
    log_sink_failure(event, std::current_exception());
    return;
  }

  auto copy = std::make_unique<ProtocolEvent>(event);
  if (carries_media_key_material(*copy)) copy->clear_media_key_material();
  if (tap->scrub_key) {
    const ScrubKey key = *tap->scrub_key;
    copy->for_each_identifier([&key](std::string& field) { redact_identifier(field, key); });
  }
  try {
    tap->sink->record(TelemetryInput(TelemetryEventInput{std::move(copy)}));
  } catch (...) {
    log_sink_failure(event, std::current_exception());
  }
}

void emit_event(SharedStateMutex& shared, ProtocolEvent event) {
  auto guard = lock_shared_state(shared);
  if (!guard.ok()) return;
  deliver_event(*guard.value(), std::move(event));
}

bool DeferredEvents::defer(ProtocolEvent event) {
  if (events.size() >= kCapacity) {
    if (dropped != UINT64_MAX) ++dropped;
    return false;
  }
  events.push_back(std::move(event));
  return true;
}

void emit_or_defer_event(SharedStateMutex& shared, DeferredEvents& deferred, ProtocolEvent event) {
  if (is_running(shared)) {
    emit_event(shared, std::move(event));
  } else {
    deferred.defer(std::move(event));
  }
}

void emit_or_defer_event_batch(SharedStateMutex& shared, DeferredEvents& deferred,
                               std::vector<ProtocolEvent> events) {
  const bool running = is_running(shared);
  for (ProtocolEvent& e : events) {
    if (running) {
      emit_event(shared, std::move(e));
    } else {
      deferred.defer(std::move(e));
    }
  }
}

void flush_deferred_events(SharedStateMutex& shared, DeferredEvents& deferred) {
  std::vector<ProtocolEvent> events = std::move(deferred.events);
  deferred.events.clear();
  for (ProtocolEvent& e : events) emit_event(shared, std::move(e));
  const uint64_t suppressed = deferred.dropped;
  deferred.dropped = 0;
  if (suppressed != 0) {
    BRENVIK_LOG(LogLevel::Warn, kEmitLogTarget, {"message", kDeferredDroppedText},
                {"suppressed", suppressed}, {"cap", uint64_t(DeferredEvents::kCapacity)});
  }
}

EventObserver make_transport_event_sink(std::shared_ptr<SharedStateMutex> shared) {
  return [shared = std::move(shared)](ProtocolEvent event) {
    deliver_recovering(*shared, std::move(event));
  };
}

EvictionObserver make_fragment_eviction_callback(std::shared_ptr<SharedStateMutex> shared) {
  return [shared = std::move(shared)](const EvictedAssembly& evicted) {
    deliver_recovering(*shared, ProtocolEvent(event::FragmentAssemblyEvicted{
                                    evicted.message_id, evicted.completion_percent, "capacity"}));
  };
}

}  // namespace brenvik
