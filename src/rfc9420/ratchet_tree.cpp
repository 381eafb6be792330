#include "rfc9420/ratchet_tree.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

#include "crypto/sha256.h"
#include "rfc9420/cipher_suite.h"

namespace brenvik::rfc9420 {

Result<PublicTree, Error> PublicTree::from_wire(const RatchetTree& wire) {
  if (wire.empty() || !wire.back())
    return Err(Error(ErrorCode::InvalidContent, "ratchet tree is empty or ends in a blank node"));
  if (wire.size() > uint64_t(tree_math::kMaxLeaves) * 2 - 1)
    return Err(Error(ErrorCode::InvalidContent, "ratchet tree too large"));
  for (size_t i = 0; i < wire.size(); ++i) {
    if (!wire[i]) continue;
    bool is_leaf = wire[i]->leaf() != nullptr;
    if (is_leaf != tree_math::is_leaf(NodeIndex(i)))
      return Err(Error(ErrorCode::InvalidContent, "node kind does not match its position"));
  }
  // Full width: the smallest 2^(d+1) - 1 that holds every node.
  uint64_t leaves = std::bit_ceil((uint64_t(wire.size()) + 1) / 2);
  PublicTree t;
  t.nodes_.reserve(2 * leaves - 1);
  for (const auto& node : wire)
    t.nodes_.push_back(node ? std::make_shared<const Node>(*node) : nullptr);
  t.nodes_.resize(2 * leaves - 1);
  return t;
}

RatchetTree PublicTree::to_wire() const {
  size_t end = nodes_.size();
  while (end > 0 && !nodes_[end - 1]) --end;
  RatchetTree out;
  out.reserve(end);
  for (size_t i = 0; i < end; ++i)
    out.push_back(nodes_[i] ? OptionalBox<Node>(*nodes_[i]) : OptionalBox<Node>());
  return out;
}

void PublicTree::set_node(NodeIndex x, OptionalBox<Node> node) {
  nodes_.at(x) = node ? std::make_shared<const Node>(std::move(*node)) : nullptr;
  changed(x);
}

const LeafNode* PublicTree::leaf(uint32_t leaf_index) const {
  NodeIndex x = tree_math::leaf_to_node(leaf_index);
  return blank(x) ? nullptr : nodes_[x]->leaf();
}

const ParentNode* PublicTree::parent_node(NodeIndex x) const {
  return blank(x) ? nullptr : nodes_[x]->parent();
}

std::vector<PublicTree::NodeIndex> PublicTree::resolution(NodeIndex x) const {
  std::vector<NodeIndex> out;
  if (x >= nodes_.size()) return out;
  // Iterative walk in left-to-right order (no recursion on tree depth).
  std::vector<NodeIndex> stack{x};
  uint32_t n = leaf_count();
  while (!stack.empty()) {
    NodeIndex y = stack.back();
    stack.pop_back();
    if (!blank(y)) {
      out.push_back(y);
      if (const ParentNode* p = nodes_[y]->parent())
        for (uint32_t l : p->unmerged_leaves) out.push_back(tree_math::leaf_to_node(l));
      continue;
    }
    if (tree_math::is_leaf(y)) continue;
    stack.push_back(*tree_math::right(y, n));
    stack.push_back(*tree_math::left(y, n));
  }
  return out;
}

Bytes PublicTree::tree_hash(NodeIndex x) const {
  if (hash_cache_.size() != nodes_.size()) hash_cache_.resize(nodes_.size());
  if (x < hash_cache_.size() && hash_cache_[x].valid)
    return Bytes(hash_cache_[x].hash.begin(), hash_cache_[x].hash.end());
  Bytes h = tree_hash_excluding(x, {});
  if (x < hash_cache_.size() && h.size() == hash_cache_[x].hash.size()) {
    std::copy(h.begin(), h.end(), hash_cache_[x].hash.begin());
    hash_cache_[x].valid = true;
  }
  return h;
}

void PublicTree::changed(NodeIndex x) {
  if (hash_cache_.size() != nodes_.size()) hash_cache_.resize(nodes_.size());
  if (x < hash_cache_.size()) hash_cache_[x].valid = false;
  for (NodeIndex a : tree_math::direct_path(x, leaf_count())) hash_cache_[a].valid = false;
}

Bytes PublicTree::tree_hash_excluding(NodeIndex x, const std::vector<uint32_t>& excluded) const {
  auto is_excluded = [&](uint32_t leaf) {
    return std::find(excluded.begin(), excluded.end(), leaf) != excluded.end();
  };
  TlsWriter w;
  if (tree_math::is_leaf(x)) {
    w.u8(uint8_t(NodeType::leaf));
    w.u32(tree_math::node_to_leaf(x));
    const LeafNode* l = blank(x) ? nullptr : nodes_[x]->leaf();
    if (l && is_excluded(tree_math::node_to_leaf(x))) l = nullptr;
    w.u8(l ? 1 : 0);
    if (l) tls_write(w, *l);
  } else {
    uint32_t n = leaf_count();
    // Depth is at most 31 levels: the recursion is bounded by the tree math.
    // Without exclusions the cached hashes of the children serve.
    NodeIndex lc = *tree_math::left(x, n), rc = *tree_math::right(x, n);
    Bytes left = excluded.empty() ? tree_hash(lc) : tree_hash_excluding(lc, excluded);
    Bytes right = excluded.empty() ? tree_hash(rc) : tree_hash_excluding(rc, excluded);
    w.u8(uint8_t(NodeType::parent));
    const ParentNode* p = parent_node(x);
    w.u8(p ? 1 : 0);
    if (p && excluded.empty()) {
      tls_write(w, *p);
    } else if (p) {
      ParentNode filtered = *p;
      std::erase_if(filtered.unmerged_leaves, is_excluded);
      tls_write(w, filtered);
    }
    w.opaque(left);
    w.opaque(right);
  }
  auto d = crypto::sha256(w.bytes());
  return Bytes(d.begin(), d.end());
}

void PublicTree::blank_direct_path(uint32_t leaf_index) {
  for (NodeIndex x : tree_math::direct_path(tree_math::leaf_to_node(leaf_index), leaf_count()))
    nodes_[x].reset();
  changed(tree_math::leaf_to_node(leaf_index));
}

uint32_t PublicTree::add_leaf(LeafNode leaf) {
  uint32_t index = 0;
  while (index < leaf_count() && !blank(tree_math::leaf_to_node(index))) ++index;
  if (index == leaf_count()) {
    if (leaf_count() >= tree_math::kMaxLeaves) throw std::length_error("ratchet tree is full");
    nodes_.resize(nodes_.size() * 2 + 1);  // new blank root and right subtree
    hash_cache_.resize(nodes_.size());     // the left subtree and its hashes are unchanged
  }
  for (NodeIndex x : tree_math::direct_path(tree_math::leaf_to_node(index), leaf_count())) {
    if (blank(x)) continue;
    auto copy = std::make_shared<Node>(*nodes_[x]);
    auto& unmerged = std::get<1>(copy->body).value.unmerged_leaves;
    unmerged.insert(std::upper_bound(unmerged.begin(), unmerged.end(), index), index);
    nodes_[x] = std::move(copy);
  }
  nodes_[tree_math::leaf_to_node(index)] =
      std::make_shared<const Node>(Node{tls::Case<NodeType::leaf, LeafNode>{std::move(leaf)}});
  changed(tree_math::leaf_to_node(index));
  return index;
}

Result<void, Error> PublicTree::update_leaf(uint32_t leaf_index, LeafNode leaf) {
  if (!this->leaf(leaf_index))
    return Err(Error(ErrorCode::InvalidSender, "update of a blank leaf"));
  nodes_[tree_math::leaf_to_node(leaf_index)] =
      std::make_shared<const Node>(Node{tls::Case<NodeType::leaf, LeafNode>{std::move(leaf)}});
  blank_direct_path(leaf_index);
  return {};
}

Result<void, Error> PublicTree::remove_leaf(uint32_t leaf_index) {
  if (!leaf(leaf_index)) return Err(Error(ErrorCode::InvalidSender, "removal of a blank leaf"));
  nodes_[tree_math::leaf_to_node(leaf_index)].reset();
  blank_direct_path(leaf_index);
  while (leaf_count() > 1) {
    uint32_t half = leaf_count() / 2;
    bool right_occupied = false;
    for (uint32_t l = half; l < leaf_count() && !right_occupied; ++l)
      right_occupied = !blank(tree_math::leaf_to_node(l));
    if (right_occupied) break;
    nodes_.resize(nodes_.size() / 2);  // keep the left subtree
    hash_cache_.resize(nodes_.size());
  }
  return {};
}

Bytes PublicTree::parent_hash(NodeIndex p, NodeIndex s) const {
  const ParentNode* pn = parent_node(p);
  if (!pn) throw std::logic_error("parent hash of a blank node");
  TlsWriter w;
  w.opaque(pn->encryption_key);
  w.opaque(pn->parent_hash);
  // Without unmerged leaves the sibling's cached tree hash serves.
  w.opaque(pn->unmerged_leaves.empty() ? tree_hash(s)
                                       : tree_hash_excluding(s, pn->unmerged_leaves));
  auto d = crypto::sha256(w.bytes());
  return Bytes(d.begin(), d.end());
}

bool PublicTree::parent_hash_valid_for(NodeIndex d, NodeIndex p) const {
  if (blank(d) || d == p || !tree_math::in_subtree(d, p)) return false;
  const Bytes* d_hash = nullptr;
  if (const ParentNode* dp = nodes_[d]->parent())
    d_hash = &dp->parent_hash;
  else if (const LeafNode* dl = nodes_[d]->leaf())
    d_hash = dl->parent_hash();
  if (!d_hash) return false;
  uint32_t n = leaf_count();
  NodeIndex l = *tree_math::left(p, n), r = *tree_math::right(p, n);
  NodeIndex c = tree_math::in_subtree(d, l) ? l : r;
  NodeIndex s = c == l ? r : l;
  if (*d_hash != parent_hash(p, s)) return false;
  // D in the resolution of C, and P's unmerged leaves under C are exactly
  // the rest of that resolution.
  std::vector<NodeIndex> res = resolution(c);
  auto it = std::find(res.begin(), res.end(), d);
  if (it == res.end()) return false;
  res.erase(it);
  std::vector<NodeIndex> unmerged_under_c;
  for (uint32_t leaf : parent_node(p)->unmerged_leaves) {
    NodeIndex x = tree_math::leaf_to_node(leaf);
    if (tree_math::in_subtree(x, c)) unmerged_under_c.push_back(x);
  }
  std::sort(res.begin(), res.end());
  std::sort(unmerged_under_c.begin(), unmerged_under_c.end());
  return res == unmerged_under_c;
}

bool PublicTree::parent_hashes_valid() const {
  for (NodeIndex p = 1; p < nodes_.size(); p += 2) {
    if (blank(p)) continue;
    // Descendants of p span [p - (2^k - 1), p + (2^k - 1)].
    uint32_t k = tree_math::level(p);
    NodeIndex lo = p - ((NodeIndex{1} << k) - 1);
    NodeIndex hi = std::min<uint64_t>(p + ((uint64_t{1} << k) - 1), nodes_.size() - 1);
    int chains = 0;
    for (NodeIndex d = lo; d <= hi && chains < 2; ++d)
      if (d != p && parent_hash_valid_for(d, p)) ++chains;
    if (chains != 1) return false;
  }
  return true;
}

Result<void, Error> verify_leaf_node_signature(const LeafNode& leaf, ByteView group_id,
                                               uint32_t leaf_index) {
  std::optional<LeafNodeGroupContext> group;
  if (leaf.leaf_node_source() != LeafNodeSource::key_package)
    group = LeafNodeGroupContext{group_id, leaf_index};
  auto ok = verify_with_label(leaf.signature_key, "LeafNodeTBS", leaf_node_tbs(leaf, group),
                              leaf.signature);
  if (!ok.ok())
    return Err(
        Error(ErrorCode::InvalidSignature, std::string(crypto::crypto_error_message(ok.error()))));
  if (!*ok) return Err(Error(ErrorCode::InvalidSignature, "leaf node"));
  return {};
}

}  // namespace brenvik::rfc9420
