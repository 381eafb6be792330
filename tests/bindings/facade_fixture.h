// In-process devices for facade tests: each is a BrenvikProtocol built from a
// construction record with encryption off and BLE on, sharing one manual
// clock, and a simulated BLE link that moves each side's pulled fragments
// into the other's fragment intake.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bindings/ffi_bodies.h"
#include "bindings/protocol_facade.h"
#include "util/clock.h"

namespace brenvik::ffi::testing {

inline BrenvikProtocolConfig plain_config(std::string user_id) {
  BrenvikProtocolConfig c;
  c.app_id = "demo.chat";
  c.user_id = std::move(user_id);
  c.enable_ble = true;
  c.initial_ttl = 8;
  c.encryption_enabled = false;
  c.require_encryption = false;
  c.max_pending_per_peer = 100;
  c.max_pending_global = 1000;
  c.pending_ttl_ms = 86'400'000;
  c.pending_overflow_policy = OverflowPolicy::DropOldest;
  c.max_group_members = 50;
  return c;
}

struct Device {
  std::string id;
  Ref<BrenvikProtocol> p;

  Device(std::string user_id, const Clock& clock) : id(user_id) {
    auto r = BrenvikProtocol::create(plain_config(std::move(user_id)), clock);
    if (!r.ok()) throw std::runtime_error(r.error().display());
    p = std::move(r).value();
  }
  BrenvikProtocol& operator*() const { return *p; }

  // Every queued event as parsed JSON, oldest first; empties the queue.
  std::vector<nlohmann::json> drain_events() {
    std::vector<nlohmann::json> out;
    while (auto e = body::brenvikprotocol_poll_event(*p)) out.push_back(nlohmann::json::parse(*e));
    return out;
  }
  // The "type" of every queued event, oldest first; empties the queue.
  std::vector<std::string> drain_types() {
    std::vector<std::string> out;
    for (const auto& j : drain_events()) out.push_back(j.at("type").get<std::string>());
    return out;
  }
};

// Pulls every fragment `from` has for `to` and hands it to `to` (or drops
// it when `deliver` is false). Returns the number of fragments moved.
inline size_t pump(Device& from, Device& to, bool deliver = true) {
  size_t n = 0;
  while (auto f = body::brenvikprotocol_ble_get_next_fragment(*from)) {
    ++n;
    if (!deliver || f->peer_id != to.id) continue;
    auto r = body::brenvikprotocol_ble_fragment_received(*to, from.id, std::move(f->data));
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().display());
  }
  return n;
}

// Pumps both ways until neither side has anything left.
inline void settle(Device& a, Device& b, bool deliver = true) {
  for (int i = 0; i < 16; ++i)
    if (pump(a, b, deliver) + pump(b, a, deliver) == 0) return;
}

// Two started devices that see each other over BLE.
inline void link(Device& a, Device& b) {
  ASSERT_TRUE(body::brenvikprotocol_start(*a).ok());
  ASSERT_TRUE(body::brenvikprotocol_start(*b).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*a, b.id, -50).ok());
  ASSERT_TRUE(body::brenvikprotocol_ble_peer_discovered(*b, a.id, -50).ok());
}

// The events of one type, in the order they came.
inline std::vector<nlohmann::json> of_type(const std::vector<nlohmann::json>& events,
                                           std::string_view type) {
  std::vector<nlohmann::json> out;
  for (const auto& e : events)
    if (e.at("type") == type) out.push_back(e);
  return out;
}

}  // namespace brenvik::ffi::testing
