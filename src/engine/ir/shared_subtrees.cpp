// Value numbering of subtrees, then a pre-order pass that picks the repeats.
#include "shared_subtrees.h"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <utility>


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
  const std::vector<std::uint32_t> classes = classify_subtrees(nodes);
  SubtreeSharing sharing{std::vector<NodeRole>(nodes.size(), NodeRole::Skipped),
                         std::vector<std::uint32_t>(nodes.size(), 0)};

  // Pre-order, left to right: a first occurrence met this way lies wholly
  // left of every later one, so it is complete before a repeat is needed. A
  // repeat's own subtree is not entered: it is never evaluated, so nothing in
  // it may serve as a first occurrence. Each node lies in a region, the
  // innermost Select branch around it (or the whole tree), and is evaluated
  // for exactly the elements that reach that region; a repeat may use a kept
  // value only when it lies inside the kept node's region too, since it is
  // then evaluated for a subset of the kept node's elements.
  struct Pending {
    std::uint32_t node;
    std::uint32_t region_first;
    std::uint32_t region_last;
  };
  /// A kept node still usable by later repeats of its class, and the one
  /// kept before it.
  struct Kept {
    std::uint32_t node;
    std::uint32_t region_first;
    std::uint32_t region_last;
    std::uint32_t below;
  };
  std::vector<std::uint32_t> latest_kept(nodes.size(), kNone);
  std::vector<Kept> kept;
  std::vector<Pending> pending{{static_cast<std::uint32_t>(tree.root_index()), 0,
                                static_cast<std::uint32_t>(tree.root_index())}};
  while (!pending.empty()) {
    const Pending visit = pending.back();
    pending.pop_back();
    const std::uint32_t index = visit.node;
    const ExprNode& node = nodes[index];
    if (is_leaf(node)) {
      sharing.roles[index] = NodeRole::Plain;
      continue;
    }
    // Nodes are met in increasing position, so a kept node whose region ends
    // before this one can serve no later repeat either.
    std::uint32_t& latest = latest_kept[classes[index]];
    while (latest != kNone && !(kept[latest].region_first <= index && index <= kept[latest].region_last)) {
      latest = kept[latest].below;
    }
    if (latest != kNone) {
      const std::uint32_t first = kept[latest].node;
      sharing.roles[index] = NodeRole::Reuse;
      sharing.partner[index] = first;
      sharing.roles[first] = NodeRole::Compute;
      continue;
    }
    kept.push_back({index, visit.region_first, visit.region_last, latest});
    latest = static_cast<std::uint32_t>(kept.size() - 1);
    sharing.roles[index] = NodeRole::Plain;
    std::size_t child[3];
    const int count = child_indices(nodes, index, child);
    for (int k = count - 1; k >= 0; --k) {
      const auto child_root = static_cast<std::uint32_t>(child[k]);
      if (node.tag == NodeTag::Select && k > 0) {
        pending.push_back({child_root, child_root + 1 - nodes[child_root].size, child_root});
      } else {
        pending.push_back({child_root, visit.region_first, visit.region_last});
      }
    }
  }
  return sharing;
}

}  // namespace bmx
