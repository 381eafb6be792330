// The secret tree and the per-sender ratchets (RFC 9420 §9).
//
// Node secrets are derived lazily from the epoch's encryption secret and
// deleted as soon as their children exist; a leaf's secret is deleted once
// its two ratchets are made. Each ratchet keeps its next secret plus the keys
// of generations it skipped, within the out-of-order window. A key is handed
// out once: after use it is gone (forward secrecy), and asking again is
// SecretReused.
//
// Receiving is two-step so that a forged message cannot burn a generation:
// prepare() computes the key and the ratchet state after it without changing
// anything; commit() applies that state once the message has authenticated.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "crypto/secret.h"
#include "rfc9420/error.h"
#include "rfc9420/key_schedule.h"

namespace brenvik::rfc9420 {

enum class RatchetKind : uint8_t { handshake, application };

struct SenderRatchetConfig {
  uint32_t out_of_order_tolerance = 32;      // generations accepted behind the newest received
  uint32_t maximum_forward_distance = 1000;  // generations a message may jump ahead
  bool operator==(const SenderRatchetConfig&) const = default;
};

// A key and nonce for one generation of one sender ratchet.
struct RatchetKey {
  uint32_t generation = 0;
  crypto::SecretBytes key;    // kNk bytes
  crypto::SecretBytes nonce;  // kNn bytes
};

// The outcome of prepare(): the key, and what committing it changes.
class RatchetStep {
 public:
  const RatchetKey& key() const { return key_; }

 private:
  friend class SecretTree;
  uint32_t leaf_ = 0;
  RatchetKind kind_ = RatchetKind::application;
  RatchetKey key_;
  bool from_cache_ = false;
  // When advancing: the secret of generation new_next_ and the skipped keys.
  crypto::SecretBytes new_secret_;
  uint32_t new_next_ = 0;
  std::vector<RatchetKey> skipped_;
};

// The whole state of a secret tree, so that a group can be stored between
// operations and resume every ratchet exactly where it stopped.
struct SecretTreeState {
  struct Ratchet {
    crypto::SecretBytes secret;  // of generation `next`; empty once exhausted
    uint32_t next = 0;
    std::vector<RatchetKey> skipped;  // ascending generations, all below `next`
  };
  struct Leaf {
    Ratchet handshake, application;
  };
  uint32_t leaf_count = 0;
  SenderRatchetConfig config;
  // One entry per node of the tree (2 * leaf_count - 1); empty when the
  // secret was consumed or is not derived yet.
  std::vector<crypto::SecretBytes> node_secrets;
  // One entry per leaf; present once the leaf's ratchets exist.
  std::vector<std::optional<Leaf>> leaves;
};

class SecretTree {
 public:
  // A one-leaf tree that holds no secret: every request fails. A placeholder
  // for values that are assigned a real tree before use.
  SecretTree() : SecretTree({}, 1) {}
  // n_leaves is the ratchet tree's leaf count (>= 1).
  SecretTree(ByteView encryption_secret, uint32_t n_leaves, SenderRatchetConfig config = {});

  uint32_t leaf_count() const { return n_leaves_; }

  // The key for `generation` of a sender's ratchet, without consuming it.
  // Errors: InvalidSender (leaf outside the tree), GenerationTooOld,
  // GenerationTooFar, SecretReused.
  Result<RatchetStep, Error> prepare(uint32_t leaf, RatchetKind kind, uint32_t generation);
  // The next unused generation of a ratchet (for sending).
  Result<RatchetStep, Error> prepare_next(uint32_t leaf, RatchetKind kind);
  // Consumes the prepared key. Requires that no other step of the same
  // ratchet was committed since `step` was prepared.
  void commit(RatchetStep&& step);

  // Next generation a ratchet would hand out (testing and sending).
  Result<uint32_t, Error> next_generation(uint32_t leaf, RatchetKind kind);

  // A copy of the whole state.
  SecretTreeState state() const;
  // Rebuilds a tree from a state, which may come from storage and is checked
  // as hostile: node and leaf counts that match leaf_count, secrets, keys and
  // nonces of the suite's sizes, skipped generations ascending, below `next`
  // and inside the out-of-order window. Codec error with the reason otherwise.
  static Result<SecretTree, Error> from_state(SecretTreeState state);

 private:
  struct Ratchet {
    crypto::SecretBytes secret;  // of generation `next`
    uint32_t next = 0;
    std::map<uint32_t, RatchetKey> skipped;
  };
  struct LeafRatchets {
    Ratchet handshake, application;
  };
  Result<LeafRatchets*, Error> leaf_ratchets(uint32_t leaf);

  uint32_t n_leaves_;
  SenderRatchetConfig config_;
  std::vector<crypto::SecretBytes> node_secrets_;  // empty = not present
  std::vector<std::optional<LeafRatchets>> leaves_;
};

// Sender-data key and nonce from the sender data secret and the first kNh
// bytes of the content ciphertext (all of it when shorter) (§6.3.2).
Result<KeyAndNonce, Error> sender_data_key_nonce(ByteView sender_data_secret, ByteView ciphertext);

}  // namespace brenvik::rfc9420
