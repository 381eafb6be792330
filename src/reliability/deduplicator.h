// Memory of the message ids this device has already sent or received, so
// that a message is sent once and delivered once. Two modes: an exact map
// bounded in size and age (with persistence of received ids), or a bank of
// Bloom filters that rotate on a timer.
//
// The exact map keeps its entries on two intrusive orders besides the hash
// index: by first sighting (age expiry pops from the old end) and, per
// persistence class, by last sighting (eviction takes the stalest
// non-persisted entry first). Recording, touching and evicting are O(1);
// nothing scans the map per insert.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/clock.h"

namespace brenvik {

struct DedupConfig {
  uint64_t max_tracked_messages = 5'000;
  uint64_t retention_time_secs = 604'800;
  uint64_t bloom_filter_bits = 1'048'576;
  uint64_t bloom_hash_count = 7;
  uint64_t bloom_filter_count = 4;
  uint64_t bloom_rotation_secs = 900;
  bool use_bloom_filter = false;

  bool operator==(const DedupConfig&) const = default;
};

// The persisted form of one exact entry.
struct SeenId {
  std::string id;
  int64_t seen_at_ms = 0;  // first sighting, Unix milliseconds

  bool operator==(const SeenId&) const = default;
};

struct DedupStats {
  uint64_t tracked = 0;
  uint64_t recent = 0;  // first seen within the last 60 s (Bloom mode: = tracked)
  uint8_t usage_percent = 0;
  std::string strategy;  // "HashMap" or "BloomFilter"
  // Not part of the host record.
  std::optional<double> false_positive_rate;
  bool bloom = false;

  bool operator==(const DedupStats&) const = default;
};

// Bloom bit positions of a key: FNV-1a 64 from the standard offset basis and
// from 0x5f356495 (forced odd), combined by double hashing.
struct BloomHashes {
  uint64_t h1;
  uint64_t h2;
};
BloomHashes bloom_hashes(std::string_view key);

// Hash for text-keyed maps that can be searched with a string_view.
struct TextKeyHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
template <typename V>
using TextKeyMap = std::unordered_map<std::string, V, TextKeyHash, std::equal_to<>>;

class Deduplicator {
 public:
  // Host-supplied Bloom sizes are capped here so that a configuration cannot
  // demand an allocation or a hash loop of unbounded size.
  static constexpr uint64_t kMaxBloomBits = uint64_t(1) << 30;
  static constexpr uint64_t kMaxBloomHashCount = 64;
  static constexpr uint64_t kMaxBloomFilterCount = 64;

  explicit Deduplicator(DedupConfig config = {}, const Clock& clock = system_clock());
  ~Deduplicator();
  Deduplicator(const Deduplicator&) = delete;
  Deduplicator& operator=(const Deduplicator&) = delete;

  // Whether the id was seen; changes nothing (no rotation).
  bool is_duplicate(std::string_view id) const;
  // check_and_record, not persisted (sent ids).
  bool mark_seen(std::string_view id) { return check_and_record(id, false); }
  // check_and_record, persisted (received ids). True means new.
  bool check_seen(std::string_view id) { return check_and_record(id, true); }
  // True when the id was new and is now recorded; false when already seen
  // (then nothing changes). A full map first drops entries past retention,
  // then the entry with the smallest (persist, last_seen).
  bool check_and_record(std::string_view id, bool persist);
  // Whether the id is known; in exact mode also refreshes its last sighting.
  bool touch(std::string_view id);
  // Removes an exact entry; Bloom mode always false.
  bool forget(std::string_view id);
  // Removes exact entries first seen at or before now - retention.
  size_t expire();
  // Persisted entries, newest first (ties by id), at most `limit`.
  std::vector<SeenId> export_seen(size_t limit) const;
  // Restores persisted entries younger than the retention, in list order,
  // until the map is full; returns how many were inserted.
  size_t restore_seen(const std::vector<SeenId>& list, int64_t now_unix_ns);
  size_t restore_seen(const std::vector<SeenId>& list) {
    return restore_seen(list, clock_.wall_unix_ns());
  }
  // Rebuilds from a new configuration; exact entries survive an exact-to-
  // exact change (within the new retention, newest first, up to the new size).
  void update_config(const DedupConfig& config);
  DedupStats stats() const;

  bool bloom_mode() const { return bloom_.has_value(); }
  const DedupConfig& config() const { return config_; }
  size_t size() const { return seen_.size(); }

 private:
  // Keys carry their hash, so a lookup hashes the probe once and never
  // rehashes stored keys while walking a bucket.
  struct Key {
    std::string text;
    size_t hash = 0;
  };
  struct KeyView {
    std::string_view text;
    size_t hash = 0;
  };
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(const Key& k) const noexcept { return k.hash; }
    size_t operator()(const KeyView& k) const noexcept { return k.hash; }
  };
  struct KeyEq {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const noexcept {
      return a.hash == b.hash && a.text == b.text;
    }
  };
  static KeyView view_of(std::string_view s) { return {s, std::hash<std::string_view>{}(s)}; }

  // Counts of stored keys per hash slot, in front of the map. Most lookups
  // are for ids never seen (every new message is checked before it is
  // recorded); a zero count answers those from one small array instead of
  // walking a bucket chain through nodes scattered over the heap. A count
  // that reaches its ceiling stays there, so the filter never denies a key
  // that is stored.
  class PresenceFilter {
   public:
    bool may_contain(size_t hash) const { return counts_[slot(hash)] != 0; }
    void add(size_t hash) {
      uint8_t& c = counts_[slot(hash)];
      if (c != kSticky) ++c;
    }
    void remove(size_t hash) {
      uint8_t& c = counts_[slot(hash)];
      if (c != kSticky && c != 0) --c;
    }
    void clear() { counts_.fill(0); }

   private:
    static constexpr size_t kSlots = size_t{1} << 15;
    static constexpr uint8_t kSticky = 255;
    // The map picks buckets by the low bits (modulo a prime); the filter
    // takes higher bits so that its collisions are independent of the map's.
    static size_t slot(size_t hash) { return (hash >> 20) & (kSlots - 1); }
    std::array<uint8_t, kSlots> counts_{};
  };

  struct Entry;
  using Node = std::pair<const Key, Entry>;
  using Map = std::unordered_map<Key, Entry, KeyHash, KeyEq>;
  struct Link {
    Node* prev = nullptr;
    Node* next = nullptr;
  };
  struct Entry {
    int64_t first_seen = 0;
    int64_t last_seen = 0;
    bool persist = false;
    Link age;    // ordered by first_seen
    Link evict;  // ordered by last_seen, within its persistence class
  };
  struct List {
    Node* head = nullptr;
    Node* tail = nullptr;
  };
  struct BloomSlot {
    std::vector<uint64_t> words;
    uint64_t bits = 0;
    uint64_t hash_count = 0;
    uint64_t inserted = 0;
    bool contains(const BloomHashes& h) const;
    void insert(const BloomHashes& h);
  };
  struct Bank {
    std::vector<BloomSlot> slots;
    size_t current = 0;
    int64_t last_rotation = 0;
  };

  static Link& link(Node* n, bool age) { return age ? n->second.age : n->second.evict; }
  // Inserts keeping the list sorted by `key` (equal keys after), scanning
  // from whichever end is closer in time; O(1) for in-order arrivals.
  static void insert_sorted(List& l, Node* n, bool age);
  static void unlink(List& l, Node* n, bool age);
  List& evict_list(bool persist) { return persist ? evict_persist_ : evict_plain_; }
  void erase(Node* n);
  Node* insert_entry(std::string key, int64_t first_seen, int64_t last_seen, bool persist);
  void link_new(Node* n);
  void clear_exact();
  void build_bank(int64_t now);
  void rotate_if_due(int64_t now);
  int64_t retention_cutoff(int64_t now) const;

  DedupConfig config_;
  const Clock& clock_;
  // Lookup through the presence filter; end() when the id is not stored.
  Map::iterator find(const KeyView& key) {
    return filter_.may_contain(key.hash) ? seen_.find(key) : seen_.end();
  }
  Map::const_iterator find(const KeyView& key) const {
    return filter_.may_contain(key.hash) ? seen_.find(key) : seen_.end();
  }

  Map seen_;
  PresenceFilter filter_;
  List age_;
  List evict_plain_;
  List evict_persist_;
  std::optional<Bank> bloom_;
};

// A set of text keys that forget themselves after a fixed time and hold at
// most a fixed number of keys, oldest out first (monotonic clock). Used for
// the ids of frames taken for relaying so that a copy coming back through
// the mesh is not taken again.
class SeenWindow {
 public:
  // `max_entries` is at least 1.
  SeenWindow(size_t max_entries, Nanos window, const Clock& clock = system_clock());

  // True when the key is already present (a duplicate); otherwise inserts it
  // (evicting the oldest keys while full) and returns false. A key's time is
  // not refreshed by later sightings.
  bool check_and_insert(std::string_view key);
  // Present and younger than the window; changes nothing.
  bool contains(std::string_view key) const;
  // Forgets the key, so that it is accepted again.
  void remove(std::string_view key);
  // Removes expired keys from the old end, stopping at the first young one.
  void prune_expired(MonoTime now);
  std::optional<std::string> pop_oldest();

  size_t size() const { return entries_.size(); }
  size_t max_entries() const { return max_entries_; }

 private:
  struct Slot {
    MonoTime inserted_at;
    std::list<std::string>::iterator pos;
  };

  size_t max_entries_;
  Nanos window_;
  const Clock& clock_;
  std::list<std::string> order_;  // oldest first
  TextKeyMap<Slot> entries_;
};

}  // namespace brenvik
