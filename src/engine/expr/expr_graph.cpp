// Hash-consing trees into graphs, and expanding graphs back into trees.
#include "expr_graph.h"

#include <algorithm>
#include <limits>
#include <new>

#include "../internal_failure.h"

namespace bmx {

namespace {

std::uint64_t hash_of(const GraphNode& node) {
  // splitmix64's finaliser over each field in turn.
  const auto mix = [](std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  };
  std::uint64_t h = mix((static_cast<std::uint64_t>(node.tag) << 8) | node.op);
  h = mix(h ^ node.payload);
  h = mix(h ^ ((static_cast<std::uint64_t>(node.children[0]) << 32) | node.children[1]));
  return mix(h ^ node.children[2]);
}

}  // namespace

/// Appends nodes in post-order, each distinct one once: a node equal to one
/// already added gets that one's index. The index of nodes is an open
/// addressing table (linear probing, at most half full) holding each node's
/// index beside its hash, so that adding costs no allocation per node and a
/// probe reads a node only when the hashes match.
class GraphBuilder {
 public:
  std::uint32_t add(const GraphNode& node) {
    if (2 * (nodes_.size() + 1) > slots_.size()) grow();
    const std::uint64_t hash = hash_of(node);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const Slot held = slots_[slot];
      if (held.index == kEmpty) {
        // Indices are 32 bits wide; a graph of 2^32 nodes would need 96 GiB.
        if (nodes_.size() >= kEmpty) throw std::bad_alloc();
        slots_[slot] = Slot{static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(nodes_.size())};
        nodes_.push_back(node);
        return slots_[slot].index;
      }
      if (held.hash == static_cast<std::uint32_t>(hash >> 32) && nodes_[held.index] == node) return held.index;
    }
  }

  ExprGraph finish() && {
    check(!nodes_.empty(), "a graph holds at least one node");
    return ExprGraph(std::move(nodes_));
  }

 private:
  static constexpr std::uint32_t kEmpty = std::numeric_limits<std::uint32_t>::max();

  /// The high half of a node's hash (the low half picks the slot) and its index.
  struct Slot {
    std::uint32_t hash;
    std::uint32_t index;
  };

  void grow() {
    std::vector<Slot> larger(std::max<std::size_t>(64, 2 * slots_.size()), Slot{0, kEmpty});
    const std::size_t mask = larger.size() - 1;
    for (const Slot& held : slots_) {
      if (held.index == kEmpty) continue;
      std::size_t slot = hash_of(nodes_[held.index]) & mask;
      while (larger[slot].index != kEmpty) slot = (slot + 1) & mask;
      larger[slot] = held;
    }
    slots_ = std::move(larger);
  }

  std::vector<GraphNode> nodes_;
  /// Empty slots hold the index kEmpty.
  std::vector<Slot> slots_;
};

namespace {

/// Adds the nodes of `tree` to `builder`, run as a post-order stack machine
/// whose values are node indices; the index each node got.
std::vector<std::uint32_t> add_tree(GraphBuilder& builder, const ExprTree& tree) {
  std::vector<std::uint32_t> indices;
  indices.reserve(tree.nodes().size());
  std::vector<std::uint32_t> operands;
  for (const ExprNode& node : tree.nodes()) {
    GraphNode made{node.tag, node.op, {0, 0, 0}, node.payload};
    const auto arity = static_cast<std::size_t>(child_count(node.tag));
    for (std::size_t k = 0; k < arity; ++k) made.children[k] = operands[operands.size() - arity + k];
    operands.resize(operands.size() - arity);
    operands.push_back(builder.add(made));
    indices.push_back(operands.back());
  }
  return indices;
}

}  // namespace

ExprGraph::ExprGraph(const ExprTree& tree) {
  GraphBuilder builder;
  add_tree(builder, tree);
  *this = std::move(builder).finish();
}

ExprTree to_expr_tree(const SharedTree& tree, const std::unordered_map<std::uint64_t, std::uint64_t>& id_map) {
  return ExprGraph::of(tree, id_map).expand();
}

std::vector<std::uint32_t> graph_indices(const ExprTree& tree) {
  GraphBuilder builder;
  return add_tree(builder, tree);
}

ExprGraph ExprGraph::of(const SharedTree& tree, const std::unordered_map<std::uint64_t, std::uint64_t>& id_map) {
  GraphBuilder builder;
  // Each shared node's index, once all its children's are known: a node
  // reached again is not walked again. A node held by one handle has one
  // parent and is reached once, so only shared nodes are remembered.
  std::unordered_map<const SharedNode*, std::uint32_t> index_of;
  // The indices of the nodes finished but not yet taken by their parents.
  std::vector<std::uint32_t> operands;
  struct Frame {
    const SharedNode* node;
    std::size_t entered;
  };
  std::vector<Frame> path{{&tree.root(), 0}};
  while (!path.empty()) {
    Frame& frame = path.back();
    const std::span<const SharedTree> children = frame.node->children();
    if (frame.entered < children.size()) {
      const SharedNode* child = &children[frame.entered++].root();
      if (child->is_shared()) {
        if (const auto found = index_of.find(child); found != index_of.end()) {
          operands.push_back(found->second);
          continue;
        }
      }
      path.push_back({child, 0});  // `frame` is not used after this
      continue;
    }
    const SharedNode& node = *frame.node;
    path.pop_back();
    GraphNode made{node.tag(), node.op(), {0, 0, 0}, node.payload()};
    if (node.tag() == NodeTag::ArgRef) {
      if (const auto found = id_map.find(made.payload); found != id_map.end()) made.payload = found->second;
    }
    const std::size_t first = operands.size() - children.size();
    for (std::size_t k = 0; k < children.size(); ++k) made.children[k] = operands[first + k];
    operands.resize(first);
    const std::uint32_t index = builder.add(made);
    if (node.is_shared()) index_of.emplace(&node, index);
    operands.push_back(index);
  }
  return std::move(builder).finish();
}

std::uint64_t ExprGraph::expanded_size() const {
  constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> sizes(nodes_.size());
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    std::uint64_t size = 1;
    for (int k = 0; k < child_count(nodes_[i].tag); ++k) {
      const std::uint64_t child = sizes[nodes_[i].children[k]];
      size = child > kSaturated - size ? kSaturated : size + child;
    }
    sizes[i] = size;
  }
  return sizes.back();
}

ExprTree ExprGraph::expand() const {
  const std::uint64_t size = expanded_size();
  if (size > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  std::vector<ExprNode> expanded;
  expanded.reserve(static_cast<std::size_t>(size));
  // Nodes on the path from the root, each with the number of its children
  // already written.
  struct Frame {
    std::uint32_t index;
    int written;
  };
  std::vector<Frame> path{{static_cast<std::uint32_t>(nodes_.size() - 1), 0}};
  while (!path.empty()) {
    Frame& frame = path.back();
    const GraphNode& node = nodes_[frame.index];
    if (frame.written < child_count(node.tag)) {
      const std::uint32_t child = node.children[frame.written++];
      path.push_back({child, 0});  // `frame` is not used after this
      continue;
    }
    expanded.push_back(ExprNode{node.tag, node.op, 0, node.payload});
    path.pop_back();
  }
  return ExprTree::from_post_order(std::move(expanded));
}

bool contains_select(const ExprGraph& graph) {
  return std::any_of(graph.nodes().begin(), graph.nodes().end(),
                     [](const GraphNode& node) { return node.tag == NodeTag::Select; });
}

}  // namespace bmx
