// Value numbering of subtrees, then a pre-order pass that picks the repeats.
#include "shared_subtrees.h"

#include <limits>

#include "../expr/expr_graph.h"

namespace bmx {

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

}  // namespace

SubtreeSharing find_shared_subtrees(const ExprTree& tree) {
  const std::span<const ExprNode> nodes = tree.nodes();
  // Equal subtrees, and only they, share a class.
  const std::vector<std::uint32_t> classes = graph_indices(tree);
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
