// The status of a link the host drives (BLE, Wi-Fi Direct) and the rule both
// links follow: stopping, or leaving Available, forgets the link's tables
// (peers, queues, partial messages), since none of it survives the radio
// going away.
#pragma once

#include <utility>

#include "core/types.h"
#include "util/sync.h"

namespace brenvik {

class LinkStatus {
 public:
  // The stored status (Unavailable until started).
  TransportStatus get() const { return *lock_or_recover(status_); }
  void set_available() { *lock_or_recover(status_) = TransportStatus::Available; }

  // Sets Disconnected, then calls `clear_tables`.
  template <typename Clear>
  void stop(Clear&& clear_tables) {
    *lock_or_recover(status_) = TransportStatus::Disconnected;
    std::forward<Clear>(clear_tables)();
  }

  // Stores `next`; calls `clear_tables` (after the status lock is released)
  // when the link leaves Available.
  template <typename Clear>
  void set(TransportStatus next, Clear&& clear_tables) {
    TransportStatus old;
    {
      auto s = lock_or_recover(status_);
      old = *s;
      *s = next;
    }
    if (old == TransportStatus::Available && next != TransportStatus::Available)
      std::forward<Clear>(clear_tables)();
  }

 private:
  mutable Mutex<TransportStatus> status_{TransportStatus::Unavailable};
};

}  // namespace brenvik
