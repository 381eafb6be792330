// The key-package pool: hand-out to peers (each package once, a capacity of
// 64 live entries), expiry with a week of grace and the purge order, and the
// upkeep of stale entries.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "mls_device.h"
#include "util/log.h"

namespace brenvik::mls {
namespace {

bool logged(const ScopedLogCapture& cap, LogLevel level, std::string_view text) {
  for (const auto& e : cap.entries())
    if (e.level == level && e.message.find(text) != std::string::npos) return true;
  return false;
}

std::optional<Bytes> private_record(Device& d, const KeyPackageBundle& b) {
  auto ref = MlsManager::key_package_hash_ref(b);
  if (!ref) return std::nullopt;
  return d.storage->peek(rfc9420::store_label::key_package, rfc9420::package_key_digest(*ref));
}

TEST(KeyPackagePool, PushMintsUpToCapacityThenReusesTheNewest) {
  ManualClock clock;
  Device d(clock);
  std::set<std::string> ids;
  for (int i = 0; i < 64; ++i) {
    clock.advance(std::chrono::milliseconds(1));
    auto p = d->key_package_for_push("peer-" + std::to_string(i));
    ASSERT_TRUE(p.ok()) << p.error().message();
    EXPECT_FALSE(p.value().reused);
    EXPECT_EQ(p.value().bundle.assigned_peer, "peer-" + std::to_string(i));
    ids.insert(p.value().bundle.package_id);
  }
  EXPECT_EQ(ids.size(), 64u);  // the 64th (63 live before it) was minted
  // The same peer again: its own entry, unchanged.
  auto again = d->key_package_for_push("peer-5");
  EXPECT_FALSE(again.value().reused);
  EXPECT_EQ(again.value().bundle.assigned_peer, "peer-5");

  ScopedLogCapture cap(LogLevel::Debug);
  auto full = d->key_package_for_push("peer-new");
  ASSERT_TRUE(full.ok());
  EXPECT_TRUE(full.value().reused);
  EXPECT_EQ(full.value().bundle.assigned_peer, "peer-63");  // the newest, still its peer's
  EXPECT_EQ(d.storage->list_keys(kKeyPackagePoolType).value().size(), 64u);
  EXPECT_TRUE(logged(cap, LogLevel::Debug,
                     "Push key-package pool at capacity; reusing an existing package"));
  EXPECT_TRUE(logged(cap, LogLevel::Debug, "live=64"));
}

TEST(KeyPackagePool, EightThreadsPushingToEightPeersNeverShareAPackage) {
  ManualClock clock;
  Device d(clock);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(d->generate_key_package(false).ok());
  std::vector<std::string> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      auto p = d->key_package_for_push("peer-" + std::to_string(t));
      ASSERT_TRUE(p.ok());
      got[t] = p.value().bundle.package_id;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 8u);
}

TEST(KeyPackagePool, ExpiryHidesForAWeekThenPurgesPrivateRecordFirst) {
  ManualClock clock;
  Device d(clock);
  const KeyPackageBundle b = d->generate_key_package(false).value();
  EXPECT_EQ(b.expires_at_ms - b.created_at_ms, kPoolLifetimeMs);
  ASSERT_TRUE(private_record(d, b));
  auto at = [&](uint64_t ms) { clock.set_wall_unix_ns(int64_t(ms) * 1'000'000); };
  struct Step {
    uint64_t offset_from_expiry;  // may wrap for -1
    bool readable;
    bool stored;
  };
  const std::vector<Step> steps = {
      {uint64_t(-1), true, true},
      {0, false, true},
      {604'799'999, false, true},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.offset_from_expiry);
    at(b.expires_at_ms + s.offset_from_expiry);
    EXPECT_EQ(d->pending_key_packages().value().size(), s.readable ? 1u : 0u);
    EXPECT_EQ(d.storage->peek(kKeyPackagePoolType, b.package_id).has_value(), s.stored);
    EXPECT_EQ(private_record(d, b).has_value(), s.stored);
  }
  at(b.expires_at_ms + 604'800'000);
  d.storage->record_calls(true);
  EXPECT_TRUE(d->pending_key_packages().value().empty());
  EXPECT_FALSE(d.storage->peek(kKeyPackagePoolType, b.package_id));
  EXPECT_FALSE(private_record(d, b));
  std::vector<std::string> deletes;
  for (const auto& c : d.storage->calls())
    if (c.op == MemoryMlsStorage::Op::Delete) deletes.push_back(c.type);
  EXPECT_EQ(deletes, (std::vector<std::string>{std::string(rfc9420::store_label::key_package),
                                               std::string(kKeyPackagePoolType)}));
}

TEST(KeyPackagePool, StaleEntriesArePrunedAndBareOnesWrapped) {
  ManualClock clock;
  Device d(clock);
  ScopedLogCapture cap(LogLevel::Warn);
  KeyPackageBundle lost = d->generate_key_package(false).value();
  ASSERT_TRUE(d.storage
                  ->delete_(rfc9420::store_label::key_package,
                            rfc9420::package_key_digest(*MlsManager::key_package_hash_ref(lost)))
                  .ok());
  EXPECT_FALSE(d->prune_key_packages(lost.package_id).value());
  EXPECT_TRUE(logged(cap, LogLevel::Warn, "Key package private key no longer in provider storage"));
  EXPECT_FALSE(d.storage->peek(kKeyPackagePoolType, lost.package_id));

  d.storage->poke(kKeyPackagePoolType, "garbage-entry", as_bytes(std::string_view("xx")));
  EXPECT_FALSE(d->prune_key_packages("garbage-entry").value());
  EXPECT_TRUE(logged(cap, LogLevel::Warn, "Key package bytes no longer parse"));

  // A bare key package (the older form) becomes an entry with its ref.
  const Bytes bare = d.key_package();
  d.storage->poke(kKeyPackagePoolType, "bare", bare);
  auto wrapped = d->prune_key_packages("bare").value();
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->key_package_data, bare);
  EXPECT_TRUE(wrapped->provider_hash_ref);
  EXPECT_EQ(read_key_package_bundle(*d.storage->peek(kKeyPackagePoolType, "bare")).value(),
            *wrapped);

  // Synced and reserved entries never reach the push path or the host.
  const KeyPackageBundle reserved = d->generate_key_package(true).value();
  ASSERT_TRUE(d->mark_key_package_synced(wrapped->package_id).ok());
  const auto pending = d->pending_key_packages().value();
  for (const auto& p : pending) {
    EXPECT_NE(p.package_id, reserved.package_id);
    EXPECT_NE(p.package_id, wrapped->package_id);
  }
}

}  // namespace
}  // namespace brenvik::mls
