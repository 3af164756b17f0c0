// ExprGraph: a kernel's tree as the graph of its distinct subtrees.
//
// Every structurally distinct subtree is one node, whatever sharing the
// expression was built with: a subtree that recurs, in one shared node or in
// equal copies, is one node that its parents all point at. Nodes are numbered
// in the order their first occurrence completes in a post-order walk of the
// tree, children before parents, so the graph is a function of the tree's
// structure alone: two trees are equal exactly when their graphs are. Sizes,
// walks and compiling are linear in the distinct nodes, while the tree they
// stand for may be exponentially larger (e = e * e, sixty times). Expanding
// it into an ExprTree is left to the forms that need one (text, bytes, the
// lazy tree evaluator).
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "expr_node.h"
#include "shared_tree.h"

namespace bmx {

/// One distinct subtree: its root's tag, operator code and payload (as in
/// ExprNode), and its operands as indices of earlier nodes. Unused child
/// places hold 0.
struct GraphNode {
  NodeTag tag;
  std::uint8_t op;
  std::uint32_t children[3];
  std::uint64_t payload;

  friend bool operator==(const GraphNode&, const GraphNode&) = default;
};

/// The graph of a whole tree; never empty, the root last. Immutable once built.
class ExprGraph {
 public:
  /// The graph of an expanded tree, in time linear in its nodes. Implicit:
  /// any tree can stand where its graph is taken.
  ExprGraph(const ExprTree& tree);  // NOLINT(google-explicit-constructor)

  /// The graph of the tree `tree` stands for, every ArgRef id found in
  /// `id_map` replaced by its value; linear in the distinct nodes of `tree`.
  static ExprGraph of(const SharedTree& tree, const std::unordered_map<std::uint64_t, std::uint64_t>& id_map = {});

  std::span<const GraphNode> nodes() const { return nodes_; }
  const GraphNode& root() const { return nodes_.back(); }

  /// The number of nodes of the tree the graph stands for, or UINT64_MAX
  /// when that does not fit 64 bits.
  std::uint64_t expanded_size() const;

  /// The tree the graph stands for. std::bad_alloc beyond 2^32 - 1 nodes, the
  /// most an ExprTree holds.
  ExprTree expand() const;

  friend bool operator==(const ExprGraph&, const ExprGraph&) = default;

 private:
  explicit ExprGraph(std::vector<GraphNode> nodes) : nodes_(std::move(nodes)) {}
  friend class GraphBuilder;

  std::vector<GraphNode> nodes_;
};

/// The index in ExprGraph(tree) of each node of `tree`, in its order: equal
/// subtrees, and only they, have one index.
std::vector<std::uint32_t> graph_indices(const ExprTree& tree);

/// The expanded tree `tree` stands for, in post-order, every ArgRef id found
/// in `id_map` replaced by its value: its graph, expanded. std::bad_alloc
/// beyond 2^32 - 1 nodes, the most an ExprTree holds.
ExprTree to_expr_tree(const SharedTree& tree, const std::unordered_map<std::uint64_t, std::uint64_t>& id_map = {});

/// True when any node is a Select.
bool contains_select(const ExprGraph& graph);

}  // namespace bmx
