#include "rfc9420/secret_tree.h"

#include "rfc9420/tree_math.h"

namespace brenvik::rfc9420 {
namespace {

Result<crypto::SecretBytes, Error> lift(Result<crypto::SecretBytes, CryptoError> r) {
  if (!r.ok()) return Err(Error::crypto(r.error()));
  return std::move(r).value();
}

Result<RatchetKey, Error> key_at(ByteView secret, uint32_t generation) {
  RatchetKey k;
  k.generation = generation;
  BRENVIK_TRY(k.key, lift(derive_tree_secret(secret, "key", generation, kNk)));
  BRENVIK_TRY(k.nonce, lift(derive_tree_secret(secret, "nonce", generation, kNn)));
  return k;
}

}  // namespace

SecretTree::SecretTree(ByteView encryption_secret, uint32_t n_leaves, SenderRatchetConfig config)
    : n_leaves_(n_leaves), config_(config) {
  uint64_t width = tree_math::node_width(n_leaves);
  node_secrets_.resize(width);
  leaves_.resize(n_leaves);
  if (auto root = tree_math::root(n_leaves))
    node_secrets_[*root] = crypto::SecretBytes(encryption_secret);
}

Result<SecretTree::LeafRatchets*, Error> SecretTree::leaf_ratchets(uint32_t leaf) {
  if (leaf >= n_leaves_) return Err(Error(ErrorCode::InvalidSender, "leaf outside the tree"));
  if (leaves_[leaf]) return &*leaves_[leaf];

  // Walk up to the nearest ancestor whose secret is still held, then derive
  // down to the leaf, keeping each sibling's secret and deleting the rest.
  using tree_math::NodeIndex;
  NodeIndex x = tree_math::leaf_to_node(leaf);
  std::vector<NodeIndex> path{x};
  while (node_secrets_[path.back()].empty()) {
    auto p = tree_math::parent(path.back(), n_leaves_);
    if (!p) return Err(Error(ErrorCode::SecretReused, "secret tree node already consumed"));
    path.push_back(*p);
  }
  for (size_t i = path.size() - 1; i > 0; --i) {
    NodeIndex n = path[i];
    NodeIndex l = *tree_math::left(n, n_leaves_);
    NodeIndex r = *tree_math::right(n, n_leaves_);
    BRENVIK_TRY(node_secrets_[l],
                lift(expand_with_label(node_secrets_[n].view(), "tree", as_bytes("left"), kNh)));
    BRENVIK_TRY(node_secrets_[r],
                lift(expand_with_label(node_secrets_[n].view(), "tree", as_bytes("right"), kNh)));
    node_secrets_[n].clear();
  }
  LeafRatchets lr;
  ByteView ls = node_secrets_[x].view();
  BRENVIK_TRY(lr.handshake.secret, lift(expand_with_label(ls, "handshake", {}, kNh)));
  BRENVIK_TRY(lr.application.secret, lift(expand_with_label(ls, "application", {}, kNh)));
  node_secrets_[x].clear();
  leaves_[leaf] = std::move(lr);
  return &*leaves_[leaf];
}

Result<RatchetStep, Error> SecretTree::prepare(uint32_t leaf, RatchetKind kind,
                                               uint32_t generation) {
  BRENVIK_TRY(LeafRatchets * lr, leaf_ratchets(leaf));
  Ratchet& r = kind == RatchetKind::handshake ? lr->handshake : lr->application;
  RatchetStep step;
  step.leaf_ = leaf;
  step.kind_ = kind;
  if (generation < r.next) {
    auto it = r.skipped.find(generation);
    if (it != r.skipped.end()) {
      step.key_ = it->second;
      step.from_cache_ = true;
      return step;
    }
    // The window counts back from the newest generation received (next - 1).
    if (r.next - 1 - generation > config_.out_of_order_tolerance)
      return Err(Error(ErrorCode::GenerationTooOld));
    return Err(Error(ErrorCode::SecretReused));
  }
  if (generation - r.next > config_.maximum_forward_distance)
    return Err(Error(ErrorCode::GenerationTooFar));
  if (r.secret.empty()) return Err(Error(ErrorCode::GenerationTooFar, "ratchet exhausted"));

  // Walk the ratchet forward, keeping the keys of skipped generations that
  // stay inside the out-of-order window.
  crypto::SecretBytes secret = r.secret;
  for (uint32_t g = r.next;; ++g) {
    if (g == generation) {
      BRENVIK_TRY(step.key_, key_at(secret.view(), g));
    } else if (generation - g <= config_.out_of_order_tolerance) {
      BRENVIK_TRY(RatchetKey k, key_at(secret.view(), g));
      step.skipped_.push_back(std::move(k));
    }
    if (g == UINT32_MAX) {
      step.new_secret_ = crypto::SecretBytes();  // no generation after the last
      step.new_next_ = g;
      break;
    }
    BRENVIK_TRY(secret, lift(derive_tree_secret(secret.view(), "secret", g, kNh)));
    if (g == generation) {
      step.new_secret_ = std::move(secret);
      step.new_next_ = g + 1;
      break;
    }
  }
  return step;
}

Result<RatchetStep, Error> SecretTree::prepare_next(uint32_t leaf, RatchetKind kind) {
  BRENVIK_TRY(uint32_t next, next_generation(leaf, kind));
  return prepare(leaf, kind, next);
}

Result<uint32_t, Error> SecretTree::next_generation(uint32_t leaf, RatchetKind kind) {
  BRENVIK_TRY(LeafRatchets * lr, leaf_ratchets(leaf));
  return (kind == RatchetKind::handshake ? lr->handshake : lr->application).next;
}

void SecretTree::commit(RatchetStep&& step) {
  auto& lr = *leaves_[step.leaf_];
  Ratchet& r = step.kind_ == RatchetKind::handshake ? lr.handshake : lr.application;
  if (step.from_cache_) {
    r.skipped.erase(step.key_.generation);
    return;
  }
  r.secret = std::move(step.new_secret_);
  r.next = step.new_next_;
  for (auto& k : step.skipped_) {
    uint32_t g = k.generation;
    r.skipped.emplace(g, std::move(k));
  }
  // Forget skipped keys that fell out of the window behind the newest.
  while (!r.skipped.empty() &&
         r.next - 1 - r.skipped.begin()->first > config_.out_of_order_tolerance)
    r.skipped.erase(r.skipped.begin());
}

SecretTreeState SecretTree::state() const {
  SecretTreeState s;
  s.leaf_count = n_leaves_;
  s.config = config_;
  s.node_secrets = node_secrets_;
  s.leaves.reserve(leaves_.size());
  auto copy = [](const Ratchet& r) {
    SecretTreeState::Ratchet out;
    out.secret = r.secret;
    out.next = r.next;
    for (const auto& [g, k] : r.skipped) out.skipped.push_back(k);
    return out;
  };
  for (const auto& l : leaves_) {
    if (!l) {
      s.leaves.emplace_back();
      continue;
    }
    s.leaves.push_back(SecretTreeState::Leaf{copy(l->handshake), copy(l->application)});
  }
  return s;
}

Result<SecretTree, Error> SecretTree::from_state(SecretTreeState s) {
  auto bad = [](std::string why) {
    return Err(Error(ErrorCode::Codec, "inconsistent secret tree state: " + std::move(why)));
  };
  if (s.leaf_count == 0 || s.leaf_count > (uint32_t{1} << 31)) return bad("leaf count");
  if (s.node_secrets.size() != tree_math::node_width(s.leaf_count))
    return bad("node count does not match the leaf count");
  if (s.leaves.size() != s.leaf_count) return bad("ratchet count does not match the leaf count");
  for (const auto& n : s.node_secrets)
    if (!n.empty() && n.size() != kNh) return bad("node secret size");

  SecretTree t;
  t.n_leaves_ = s.leaf_count;
  t.config_ = s.config;
  t.node_secrets_ = std::move(s.node_secrets);
  t.leaves_.clear();
  t.leaves_.resize(s.leaf_count);
  auto load = [&](SecretTreeState::Ratchet& in, Ratchet& out) -> Result<void, Error> {
    if (!in.secret.empty() && in.secret.size() != kNh) return bad("ratchet secret size");
    out.secret = std::move(in.secret);
    out.next = in.next;
    for (auto& k : in.skipped) {
      if (k.generation >= in.next) return bad("skipped generation not below the next one");
      if (in.next - 1 - k.generation > s.config.out_of_order_tolerance)
        return bad("skipped generation outside the out-of-order window");
      if (k.key.size() != kNk || k.nonce.size() != kNn) return bad("skipped key size");
      if (!out.skipped.empty() && out.skipped.rbegin()->first >= k.generation)
        return bad("skipped generations not ascending");
      uint32_t g = k.generation;
      out.skipped.emplace_hint(out.skipped.end(), g, std::move(k));
    }
    return {};
  };
  for (uint32_t i = 0; i < s.leaf_count; ++i) {
    if (!s.leaves[i]) continue;
    LeafRatchets lr;
    BRENVIK_TRY_VOID(load(s.leaves[i]->handshake, lr.handshake));
    BRENVIK_TRY_VOID(load(s.leaves[i]->application, lr.application));
    t.leaves_[i] = std::move(lr);
  }
  return t;
}

Result<KeyAndNonce, Error> sender_data_key_nonce(ByteView sender_data_secret, ByteView ciphertext) {
  ByteView sample = ciphertext.first(std::min(ciphertext.size(), kNh));
  KeyAndNonce kn;
  BRENVIK_TRY(kn.key, lift(expand_with_label(sender_data_secret, "key", sample, kNk)));
  BRENVIK_TRY(kn.nonce, lift(expand_with_label(sender_data_secret, "nonce", sample, kNn)));
  return kn;
}

}  // namespace brenvik::rfc9420
