// The outbox tables alone: eviction picks the least recently sent entry of
// the full table only, a sent record follows its message into the entry,
// parks saturate, and an unrouted acknowledgement replaces its twin.
#include <gtest/gtest.h>

#include "protocol/outbox/outbox.h"
#include "util/uuid.h"

namespace brenvik {
namespace {

Message acked(ContentType type = ContentType::Text, std::string recipient = "bob") {
  Message m;
  m.id = MessageId{Uuid::random_v4().bytes};
  m.recipient = std::move(recipient);
  m.requires_ack = true;
  m.content_type = type;
  return m;
}

TEST(OutboxTest, EvictionNamesTheLeastRecentlySentOfTheFullTableOnly) {
  Outbox outbox;
  Message oldest = acked(ContentType::FileChunk);
  outbox.insert(oldest, 1);
  for (size_t i = 1; i < Outbox::kChunkCapacity; ++i)
    outbox.insert(acked(ContentType::FileChunk), int64_t(10 + i));
  EXPECT_FALSE(outbox.eviction_victim(acked())) << "the user table has room";
  EXPECT_FALSE(outbox.eviction_victim(oldest)) << "already present";
  std::optional<MessageId> victim = outbox.eviction_victim(acked(ContentType::FileChunk));
  ASSERT_TRUE(victim);
  EXPECT_EQ(*victim, oldest.id);
  ASSERT_TRUE(outbox.remove(oldest.id));
  EXPECT_FALSE(outbox.remove(oldest.id));
  EXPECT_EQ(outbox.chunks().size(), Outbox::kChunkCapacity - 1);
}

TEST(OutboxTest, ASentRecordFollowsItsMessageAndASendIsCounted) {
  Outbox outbox;
  Message m = acked();
  outbox.record_sent(m.id, SentRecord{.content = "plain"});
  outbox.record_send(m, TransportType::Ble, 1, 100);
  const OutboxEntry* e = outbox.find(m.id);
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->sent_record);
  EXPECT_EQ(e->sent_record->content, "plain");
  outbox.record_send(m, TransportType::Internet, 2, 200);
  EXPECT_EQ(e->attempt_count, 2u);
  EXPECT_EQ(e->first_sent_at_ns, 100);
  EXPECT_EQ(e->last_sent_at_ns, 200);
  EXPECT_EQ(e->last_transport, TransportType::Internet);
}

TEST(OutboxTest, ParksConnectionRequestsAndUnroutedAcks) {
  Outbox outbox;
  outbox.set_park("bob", UINT32_MAX - 1);
  EXPECT_EQ(outbox.add_park("bob"), UINT32_MAX);
  EXPECT_EQ(outbox.add_park("bob"), UINT32_MAX) << "saturates";
  EXPECT_EQ(outbox.take_park("bob"), UINT32_MAX);
  EXPECT_FALSE(outbox.has_park("bob"));

  Message req = acked();
  outbox.record_connection_request(req.id, "carol", MonoTime{});
  EXPECT_TRUE(outbox.has_connection_request(req.id));
  EXPECT_FALSE(outbox.take_connection_request(
      req.id, MonoTime{} + std::chrono::seconds(Outbox::kConnectionRequestLifetimeSecs + 1)))
      << "too old to report, and gone";
  EXPECT_FALSE(outbox.has_connection_request(req.id));

  Message ack = acked();
  ack.metadata["ack_for"] = "x";
  EXPECT_FALSE(outbox.hold_unrouted_ack(UnroutedAck{ack, TransportType::Ble, MonoTime{}}));
  EXPECT_FALSE(outbox.hold_unrouted_ack(UnroutedAck{ack, TransportType::Internet, MonoTime{}}));
  std::deque<UnroutedAck> held = outbox.take_unrouted_acks();
  ASSERT_EQ(held.size(), 1u) << "the same recipient and message keep one entry";
  EXPECT_EQ(held[0].transport, TransportType::Internet);
  EXPECT_TRUE(outbox.take_unrouted_acks().empty());
}

}  // namespace
}  // namespace brenvik
