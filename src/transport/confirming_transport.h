// Whole-message transports with a send-confirmation loop: the host carries
// each pulled frame to a server or gateway and reports whether it left. The
// internet relay and Reticulum transports are both built on this class and
// differ only in the parameters of ConfirmingTransport::Profile.
//
// Outbound messages wait in a bounded queue that survives a lost connection;
// pulled frames wait for a verdict in a table keyed by message id text, and
// frames whose verdict never comes are counted as failures after a time-out
// (checked at each pull) or when the connection leaves Available.
#pragma once

#include <deque>
#include <string>
#include <unordered_map>

#include "transport/inbound_queue.h"
#include "transport/transport.h"
#include "util/clock.h"
#include "util/sync.h"

namespace brenvik {

class ConfirmingTransport : public Transport {
 public:
  struct Profile {
    TransportType type;
    std::string_view log_target;
    // Display name in the status log lines ("Internet", "Reticulum").
    std::string_view status_log_name;
    // A frame awaiting its verdict expires at a pull when its age has
    // reached `expiry` (whole seconds, internet relay) or exceeds it
    // (strictly, Reticulum).
    Nanos expiry;
    bool expiry_whole_seconds_inclusive;
    // Depth at which queue_utilization reads 1.0.
    size_t utilization_reference;
    // JSON always (internet relay) or the transport encoding that honours
    // the compact-frame flag (Reticulum).
    bool always_json;
    // Whether verdicts and expiries write log lines.
    bool verbose_verdicts;
    // Whether an outbound-available callback exists.
    bool has_callback;
    // Whether stop() discards both queues.
    bool stop_drops_queues;
    // Whether a pull refreshes queue_depth.
    bool pull_updates_depth;
  };

  // Messages waiting to be pulled; a send beyond this is refused and counted.
  static constexpr size_t kOutboundCapacity = 1024;
  // Frames awaiting a verdict; beyond this the oldest is counted as failed.
  static constexpr size_t kMaxPendingConfirmations = 4096;

  ConfirmingTransport(Profile profile, const Clock& clock, size_t outbound_capacity);

  TransportType transport_type() const override { return profile_.type; }
  TransportStatus status() const override;
  TransportMetrics metrics() const override;
  Result<void, TransportError> stop() override;
  void set_status(TransportStatus status) override;
  Result<void, TransportError> send(const Message& message) override;
  Result<std::optional<Message>, TransportError> receive() override;
  Result<void, TransportError> on_data_received(Bytes data) override;
  Result<void, TransportError> on_data_received_from(const std::string& peer_id,
                                                     Bytes data) override;
  // (message id text, encoded message). Expires overdue verdicts first.
  Result<std::optional<OutboundFrame>, TransportError> get_next_message() override;
  void confirm_sent(const std::string& message_id) override;
  void report_send_failure(const std::string& message_id) override;
  void set_on_messages_available(OutboundAvailableCallback callback) override;
  TransportQueueStats queue_stats() const override;

  // Frames handed out and not yet confirmed, failed or expired.
  size_t pending_confirmation_count() const;

 protected:
  // The refusal text of send() while not Available.
  virtual std::string not_available_text(TransportStatus status) const = 0;

 private:
  void fail_pending_confirmations();
  void verdict(const std::string& message_id, bool success);

  const Profile profile_;
  const Clock& clock_;
  const size_t outbound_capacity_;
  mutable Mutex<TransportStatus> status_{TransportStatus::Unavailable};
  mutable Mutex<std::deque<Message>> outbound_;
  mutable Mutex<std::unordered_map<std::string, MonoTime>> pending_;
  InboundQueue inbound_;
  mutable Mutex<TransportMetrics> metrics_;
  Mutex<OutboundAvailableCallback> on_available_;
  std::atomic<uint64_t> outbound_dropped_{0};
};

// The internet relay: 15 s verdict time-out, always JSON, no callback (the
// host polls), queues kept across stop().
class InternetTransport final : public ConfirmingTransport {
 public:
  explicit InternetTransport(const Clock& clock = system_clock(),
                             size_t outbound_capacity = kOutboundCapacity);

 protected:
  std::string not_available_text(TransportStatus) const override {
    return "Internet transport is not available";
  }
};

// The Reticulum gateway: 120 s verdict time-out, compact frame when flagged,
// outbound-available callback, queues dropped by stop().
class ReticulumTransport final : public ConfirmingTransport {
 public:
  explicit ReticulumTransport(const Clock& clock = system_clock(),
                              size_t outbound_capacity = kOutboundCapacity);

 protected:
  std::string not_available_text(TransportStatus s) const override {
    return "Reticulum transport is " + std::string(transport_status_name(s));
  }
};

}  // namespace brenvik
