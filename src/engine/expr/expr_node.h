// ExprTree: an expression tree stored as one contiguous post-order array.
//
// Every node is a 16-byte value; a node's children are the subtrees right
// before it (the last child ends just before its parent, and each node records
// the size of its own subtree). So copying a tree is one array copy, destroying
// it frees one block, and no walk of a tree needs native recursion: trees of
// millions of nested nodes are as safe as flat ones. This is the expanded
// form: of expression text and bytes, and of kernels with a Select, which the
// lazy tree evaluator runs. Expressions are built as SharedTree
// (shared_tree.h), whose nodes are shared, and kernels hold the graph of
// their distinct subtrees (expr_graph.h), which are expanded into it only
// where one of those needs it.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "ops.h"

namespace bmx {

/// Node variant; the numbers are part of the data model.
enum class NodeTag : std::uint8_t { Const = 0, ArgRef = 1, Unary = 2, Binary = 3, Compare = 4, Select = 5 };

/// One node. `payload` is the constant's bit pattern (Const) or the argument
/// id (ArgRef); `op` is the operator code of Unary, Binary and Compare nodes.
struct ExprNode {
  NodeTag tag;
  std::uint8_t op;
  /// Number of nodes in the subtree rooted here, this node included.
  std::uint32_t size;
  std::uint64_t payload;

  double constant() const { return std::bit_cast<double>(payload); }
  UnaryOp unary_op() const { return static_cast<UnaryOp>(op); }
  BinaryOp binary_op() const { return static_cast<BinaryOp>(op); }
  CompareOp compare_op() const { return static_cast<CompareOp>(op); }

  friend bool operator==(const ExprNode&, const ExprNode&) = default;
};
static_assert(sizeof(ExprNode) == 16);

/// Number of children of a node with this tag (0 to 3).
constexpr int child_count(NodeTag tag) {
  switch (tag) {
    case NodeTag::Const:
    case NodeTag::ArgRef: return 0;
    case NodeTag::Unary: return 1;
    case NodeTag::Binary:
    case NodeTag::Compare: return 2;
    case NodeTag::Select: return 3;
  }
  return 0;
}

/// A Const or ArgRef node: no children, and read rather than computed.
constexpr bool is_leaf(const ExprNode& node) { return child_count(node.tag) == 0; }

/// A whole tree; never empty. Immutable once built.
class ExprTree {
 public:
  static ExprTree constant(double value);
  static ExprTree arg_ref(std::uint64_t id);
  static ExprTree unary(UnaryOp op, const ExprTree& child);
  static ExprTree binary(BinaryOp op, const ExprTree& left, const ExprTree& right);
  static ExprTree compare(CompareOp op, const ExprTree& left, const ExprTree& right);
  static ExprTree select(const ExprTree& cond, const ExprTree& then_branch, const ExprTree& else_branch);

  /// A tree from its nodes in post-order, in time linear in their number (the
  /// operator factories above copy their operands, so building a chain of n
  /// nested nodes with them costs n^2). The `size` fields are recomputed; a
  /// sequence that is not exactly one tree (an operator short of operands, or
  /// values left over) is an internal failure.
  static ExprTree from_post_order(std::vector<ExprNode> nodes);

  /// Post-order nodes; the root is the last one.
  std::span<const ExprNode> nodes() const { return nodes_; }
  std::size_t root_index() const { return nodes_.size() - 1; }
  const ExprNode& root() const { return nodes_.back(); }

  friend bool operator==(const ExprTree&, const ExprTree&) = default;

 private:
  explicit ExprTree(std::vector<ExprNode> nodes) : nodes_(std::move(nodes)) {}
  static ExprTree join(ExprNode parent, std::initializer_list<const ExprTree*> children);

  std::vector<ExprNode> nodes_;
};

/// Root indices of the children of the node at `index`, in order (left to right).
/// Returns the number of children written into `out`.
int child_indices(std::span<const ExprNode> nodes, std::size_t index, std::size_t (&out)[3]);

/// True when any node is a Select.
bool contains_select(const ExprTree& tree);

}  // namespace bmx
