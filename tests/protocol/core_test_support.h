// Test doubles for the protocol core: a transport that accepts or refuses
// on command and records what it was given, and a core fixture on a manual
// clock with an observer that collects every delivered event.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "config_test_support.h"
#include "protocol/core/protocol_core.h"
#include "transport/transport.h"
#include "util/clock.h"

namespace brenvik::testing {

class FakeTransport final : public Transport {
 public:
  explicit FakeTransport(TransportType type, TransportStatus status = TransportStatus::Available)
      : type_(type), status_(status) {}

  TransportType transport_type() const override { return type_; }
  TransportStatus status() const override { return status_; }
  TransportMetrics metrics() const override { return metrics_; }
  Result<void, TransportError> send(const Message& m) override {
    ++send_calls;
    if (refuse) return Err(*refuse);
    sent.push_back(m);
    return {};
  }
  Result<void, TransportError> send_to_peer(const std::string& peer, const Message& m) override {
    if (refuse_peer) return Err(*refuse_peer);
    peer_sends.emplace_back(peer, m);
    return {};
  }
  std::vector<ConnectedPeer> connected_peers() const override { return peers; }
  Result<std::optional<Message>, TransportError> receive() override {
    if (inbound.empty()) return std::optional<Message>();
    Message m = inbound.front();
    inbound.pop_front();
    return std::optional<Message>(std::move(m));
  }
  Result<void, TransportError> start() override {
    ++start_calls;
    if (fail_start) return Err(TransportError::configuration("radio off"));
    return {};
  }
  Result<void, TransportError> stop() override {
    ++stop_calls;
    return {};
  }
  void set_status(TransportStatus s) override { status_ = s; }

  std::optional<TransportError> refuse;
  std::optional<TransportError> refuse_peer;
  bool fail_start = false;
  std::vector<Message> sent;
  std::vector<std::pair<std::string, Message>> peer_sends;
  std::vector<ConnectedPeer> peers;
  std::deque<Message> inbound;
  TransportMetrics metrics_;
  int send_calls = 0;
  int start_calls = 0;
  int stop_calls = 0;

 private:
  TransportType type_;
  TransportStatus status_;
};

// A plaintext configuration: encryption off and not required.
inline ProtocolConfig plaintext_config() {
  ProtocolConfig c = valid_protocol_config();
  c.encryption.enabled = false;
  c.encryption.require_encryption = false;
  return c;
}

class CoreFixture : public ::testing::Test {
 protected:
  void make_core(ProtocolConfig config = plaintext_config()) {
    auto r = ProtocolCore::create(std::move(config), clock);
    ASSERT_TRUE(r.ok()) << r.error().message();
    core = std::move(r).value();
    core->add_observer([this](ProtocolEvent e) { events.push_back(std::move(e)); });
  }
  std::shared_ptr<FakeTransport> add_transport(TransportType t,
                                               TransportStatus s = TransportStatus::Available) {
    auto f = std::make_shared<FakeTransport>(t, s);
    core->transports().register_transport(t, f);
    return f;
  }
  void start() { ASSERT_TRUE(core->start().ok()); }

  template <typename T>
  std::vector<T> events_of() const {
    std::vector<T> out;
    for (const auto& e : events)
      if (auto p = e.get_if<T>()) out.push_back(*p);
    return out;
  }
  void advance_ms(int64_t ms) { clock.advance(std::chrono::milliseconds(ms)); }

  ManualClock clock;
  std::unique_ptr<ProtocolCore> core;
  std::vector<ProtocolEvent> events;
};

}  // namespace brenvik::testing
