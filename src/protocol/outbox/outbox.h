// Outbox: every table of the send side that outlives one send call. The
// messages waiting for their delivery acknowledgement (user messages and
// file chunks apart, each bounded), the plaintext send requests of sealed
// messages, the parks of direct messages to unreachable recipients, the
// connection requests whose failure the host must hear about, and the
// acknowledgements that found no route yet.
//
// It only keeps the tables: it calls nothing and raises nothing. Deciding
// when an entry is sent, failed or settled, and telling the host, is the
// core's send road; the methods here are the table steps it takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/message.h"
#include "protocol/records/pending_message.h"
#include "util/clock.h"

namespace brenvik {

// Hash of a 16-byte message id for the core's tables.
struct MessageIdHash {
  size_t operator()(const MessageId& id) const noexcept {
    uint64_t a, b;
    std::memcpy(&a, id.bytes.data(), 8);
    std::memcpy(&b, id.bytes.data() + 8, 8);
    return size_t(a ^ (b * 0x9E3779B97F4A7C15ull));
  }
};

// The plaintext send request of a message that left encrypted, kept so the
// outbox can seal it again for a new session.
struct SentRecord {
  std::optional<MediaMetadata> media_metadata;
  std::optional<RichSendExtras> rich;
  std::string content;
  std::optional<ForwardInfo> forwarded_from;
  std::optional<MessageId> reply_to_msg;
  MessagePriority priority = MessagePriority::Medium;
  ContentType content_type = ContentType::Text;
};

// One outgoing message that waits for its delivery acknowledgement.
struct OutboxEntry {
  Message message;  // as last sent
  std::optional<SentRecord> sent_record;
  int64_t first_sent_at_ns = 0;  // wall clock, Unix nanoseconds
  int64_t last_sent_at_ns = 0;
  uint32_t attempt_count = 0;
  bool relay_pushed = false;
  std::optional<TransportType> last_transport;
};

// A delivery acknowledgement that found no route yet.
struct UnroutedAck {
  Message ack;
  TransportType transport;
  MonoTime held_at;
};

class Outbox {
 public:
  using Table = std::unordered_map<MessageId, OutboxEntry, MessageIdHash>;
  using Parks = std::unordered_map<std::string, uint32_t>;
  static constexpr size_t kCapacity = 500;
  static constexpr size_t kChunkCapacity = 100;
  static constexpr size_t kUnroutedAckCapacity = 500;
  // A connection request older than this no longer reports its failure.
  static constexpr int64_t kConnectionRequestLifetimeSecs = 1800;

  Outbox() = default;
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // ------------------------------------------------------------- entries
  // The user-message table and the file-chunk table. The views live as
  // long as the outbox; any change below invalidates iterators.
  const Table& entries() const { return entries_; }
  const Table& chunks() const { return chunks_; }
  bool contains(const MessageId& id) const { return entries_.contains(id); }
  // The user-message entry; null when there is none.
  const OutboxEntry* find(const MessageId& id) const;
  // The user-message entry, then the chunk entry; null when in neither.
  const OutboxEntry* find_any(const MessageId& id) const;
  // The entry that must make room before `message` can be inserted: the
  // least recently sent of its full table, none when it has room or the
  // message is already there.
  std::optional<MessageId> eviction_victim(const Message& message) const;
  // Inserts an entry for an acknowledged message unless one exists; takes
  // the message's sent record along.
  void insert(const Message& message, int64_t now_ns);
  // Records one more send of an acknowledged message, creating the entry
  // when needed.
  void record_send(const Message& message, std::optional<TransportType> last_transport,
                   uint32_t attempt_count, int64_t now_ns);
  // Removes the entry from either table with its sent record; none when
  // there was no entry.
  std::optional<OutboxEntry> remove(const MessageId& id);
  // Sets relay_pushed of a user-message entry (the relay's verdict).
  void mark_relay_pushed(const MessageId& id);

  // ---------------------------------------------------------- sent index
  void record_sent(const MessageId& id, SentRecord record);

  // ---------------------------------------------------------------- parks
  const Parks& parks() const { return parks_; }
  bool has_park(const std::string& recipient) const { return parks_.contains(recipient); }
  // Counts one more park of `recipient` (saturating) and returns the count.
  uint32_t add_park(const std::string& recipient);
  std::optional<uint32_t> take_park(const std::string& recipient);
  void set_park(const std::string& recipient, uint32_t count) { parks_[recipient] = count; }
  Parks take_parks();

  // -------------------------------------------------- connection requests
  void record_connection_request(const MessageId& id, std::string recipient, MonoTime now);
  bool has_connection_request(const MessageId& id) const;
  // The recipient of a request sent at most 30 minutes ago; the record goes
  // either way.
  std::optional<std::string> take_connection_request(const MessageId& id, MonoTime now);
  void forget_connection_request(const std::string& id_text);

  // ----------------------------------------------------- unrouted acks
  // Keeps `ack`, replacing one for the same recipient and message. Returns
  // true when the queue was full and its oldest entry was dropped.
  bool hold_unrouted_ack(UnroutedAck ack);
  std::deque<UnroutedAck> take_unrouted_acks();

 private:
  std::optional<SentRecord> take_sent_record(const Message& message, bool is_chunk);

  Table entries_;
  Table chunks_;
  std::unordered_map<MessageId, SentRecord, MessageIdHash> sent_index_;
  Parks parks_;
  std::deque<UnroutedAck> unrouted_acks_;
  std::unordered_map<MessageId, std::unordered_map<std::string, int64_t>, MessageIdHash>
      custody_holders_;
  std::unordered_map<std::string, std::pair<std::string, MonoTime>> connection_requests_;
};

}  // namespace brenvik
