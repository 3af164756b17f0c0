// Value numbering of subtrees, then a pre-order pass that picks the repeats.
#include "shared_subtrees.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>

#include "../internal_failure.h"

namespace bmx {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

/// A node with its children replaced by their subtree classes: two subtrees
/// are equal exactly when their roots' keys are.
struct NodeKey {
  NodeTag tag;
  std::uint8_t op;
  std::uint64_t payload;
  std::uint32_t children[3];

  friend bool operator==(const NodeKey&, const NodeKey&) = default;
};

struct NodeKeyHash {
  std::size_t operator()(const NodeKey& key) const {
    // splitmix64's finaliser over each field in turn.
    const auto mix = [](std::uint64_t x) {
      x ^= x >> 30;
      x *= 0xbf58476d1ce4e5b9ULL;
      x ^= x >> 27;
      x *= 0x94d049bb133111ebULL;
      return x ^ (x >> 31);
    };
    std::uint64_t h = mix((static_cast<std::uint64_t>(key.tag) << 8) | key.op);
    h = mix(h ^ key.payload);
    h = mix(h ^ ((static_cast<std::uint64_t>(key.children[0]) << 32) | key.children[1]));
    return static_cast<std::size_t>(mix(h ^ key.children[2]));
  }
};

bool is_leaf(const ExprNode& node) { return node.tag == NodeTag::Const || node.tag == NodeTag::ArgRef; }

/// The class of every subtree: equal subtrees, and only they, share a class.
/// Children come before their parents in the array, so one forward pass sees
/// every child's class first.
std::vector<std::uint32_t> classify_subtrees(std::span<const ExprNode> nodes) {
  std::vector<std::uint32_t> classes(nodes.size());
  std::unordered_map<NodeKey, std::uint32_t, NodeKeyHash> known;
  known.reserve(nodes.size());
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const ExprNode& node = nodes[i];
    NodeKey key{node.tag, node.op, node.payload, {kNone, kNone, kNone}};
    std::size_t child[3];
    const int count = child_indices(nodes, i, child);
    for (int k = 0; k < count; ++k) key.children[k] = classes[child[k]];
    const auto [entry, inserted] = known.try_emplace(key, static_cast<std::uint32_t>(known.size()));
    classes[i] = entry->second;
  }
  return classes;
}

}  // namespace

SubtreeSharing find_shared_subtrees(const ExprTree& tree) {
  const std::span<const ExprNode> nodes = tree.nodes();
  check(!contains_select(tree), "repeated subtrees of a tree with a Select");
  const std::vector<std::uint32_t> classes = classify_subtrees(nodes);
  SubtreeSharing sharing{std::vector<NodeRole>(nodes.size(), NodeRole::Skipped),
                         std::vector<std::uint32_t>(nodes.size(), 0)};

  // Pre-order, left to right: the first occurrence of a class met this way
  // lies wholly left of every later one, so it is complete before any repeat
  // is needed. A repeat's own subtree is not entered: it is never evaluated,
  // so nothing in it may serve as a first occurrence.
  std::vector<std::uint32_t> first_of_class(nodes.size(), kNone);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pending;  // (node, parent)
  pending.emplace_back(static_cast<std::uint32_t>(tree.root_index()), kNone);
  while (!pending.empty()) {
    const auto [index, parent] = pending.back();
    pending.pop_back();
    const ExprNode& node = nodes[index];
    if (is_leaf(node)) {
      sharing.roles[index] = NodeRole::Plain;
      continue;
    }
    std::uint32_t& first = first_of_class[classes[index]];
    if (first != kNone) {
      sharing.roles[index] = NodeRole::Reuse;
      sharing.partner[index] = first;
      sharing.roles[first] = NodeRole::Compute;
      sharing.partner[first] = std::max(sharing.partner[first], parent);
      continue;
    }
    first = index;
    sharing.roles[index] = NodeRole::Plain;
    std::size_t child[3];
    const int count = child_indices(nodes, index, child);
    for (int k = count - 1; k >= 0; --k) pending.emplace_back(static_cast<std::uint32_t>(child[k]), index);
  }
  return sharing;
}

}  // namespace bmx
