// SharedTree: an expression tree as the operators build it, from nodes that
// every expression built on them shares.
//
// An operator makes one node that points at its operands' roots, so n operator
// calls build an expression of n nodes in O(n) time and memory whatever its
// shape (copying the operands made a chain quadratic). Nodes are immutable and
// reference-counted. The tree an expression stands for is the full expansion
// of its root: a node reached along two paths is two subtrees of that tree,
// which may be exponentially larger than the nodes (e = e * e, sixty times):
// walks visit distinct nodes, and only to_expr_tree (expr_graph.h) expands. ArgRef leaves carry their
// argument's name, so the names of an expression's arguments travel with its
// nodes. Every walk is iterative, and dropping the last handle frees the nodes
// only it kept alive through an explicit work list, so trees of any depth are
// safe to build, query and drop.
//
// Kernels are compiled from the graph of distinct subtrees (expr_graph.h);
// from_expr_tree converts from the contiguous ExprTree.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "expr_node.h"
#include "ops.h"

namespace bmx {

class SharedNode;

/// A counted handle to an immutable node. Copying shares the node; the node
/// lives while any handle does. Handles to one node may be copied and dropped
/// on several threads at once. A moved-from handle may only be destroyed or
/// assigned to.
class SharedTree {
 public:
  static SharedTree constant(double value);
  static SharedTree arg_ref(std::uint64_t id, std::string name);
  /// Operator nodes over their operands, which are shared, not copied.
  static SharedTree unary(UnaryOp op, const SharedTree& child);
  static SharedTree binary(BinaryOp op, const SharedTree& left, const SharedTree& right);
  static SharedTree compare(CompareOp op, const SharedTree& left, const SharedTree& right);
  static SharedTree select(const SharedTree& cond, const SharedTree& then_branch, const SharedTree& else_branch);
  /// The operator node of `tag` (Unary, Binary, Compare or Select) and code
  /// `op` over `children`, child_count(tag) of them; the four factories above
  /// are its typed forms.
  static SharedTree make_operator(NodeTag tag, std::uint8_t op, std::span<const SharedTree* const> children);

  SharedTree(const SharedTree& other) noexcept;
  SharedTree(SharedTree&& other) noexcept;
  SharedTree& operator=(const SharedTree& other) noexcept;
  SharedTree& operator=(SharedTree&& other) noexcept;
  ~SharedTree();

  const SharedNode& root() const { return *node_; }

  /// True when both handles hold the same node.
  bool is_same_node(const SharedTree& other) const { return node_ == other.node_; }

 private:
  friend class SharedNode;
  explicit SharedTree(SharedNode* adopted) : node_(adopted) {}
  static SharedTree make_node(NodeTag tag, std::uint8_t op, std::uint64_t payload, std::string name);
  /// Drops one reference to `node`; on the last, frees it and every node that
  /// only it kept alive.
  static void release(SharedNode* node) noexcept;

  SharedNode* node_;
};

/// One node; reached only through SharedTree handles.
class SharedNode {
 public:
  NodeTag tag() const { return tag_; }
  std::uint8_t op() const { return op_; }
  /// The constant's bit pattern (Const) or the argument id (ArgRef).
  std::uint64_t payload() const { return payload_; }
  /// The argument's name (ArgRef); empty for every other tag.
  const std::string& name() const { return name_; }
  /// Number of nodes of the expanded subtree rooted here, this one included;
  /// UINT64_MAX when that does not fit 64 bits.
  std::uint64_t tree_size() const { return tree_size_; }
  /// The operands in order, child_count(tag()) of them.
  std::span<const SharedTree> children() const {
    return {children_, static_cast<std::size_t>(child_count(tag_))};
  }
  /// True when more than one handle holds the node: only then can a walk
  /// reach it along two paths.
  bool is_shared() const { return refs_.load(std::memory_order_relaxed) > 1; }

  /// Lets only SharedTree construct nodes.
  class Token {
    friend class SharedTree;
    Token() = default;
  };
  SharedNode(Token, NodeTag tag, std::uint8_t op, std::uint64_t payload, std::string name);
  SharedNode(const SharedNode&) = delete;
  SharedNode& operator=(const SharedNode&) = delete;
  ~SharedNode();

 private:
  friend class SharedTree;

  /// Handles owned by this node and by other nodes' children. Increments are
  /// relaxed: a new handle is always copied from one its thread already holds.
  std::atomic<std::uint32_t> refs_{1};
  NodeTag tag_;
  std::uint8_t op_;
  std::uint64_t tree_size_ = 1;
  std::uint64_t payload_;
  std::string name_;
  /// Null past child_count(tag_), and in a node being freed.
  SharedTree children_[3] = {SharedTree(nullptr), SharedTree(nullptr), SharedTree(nullptr)};
  /// Link of the work list of nodes being freed; null otherwise.
  SharedNode* next_doomed_ = nullptr;
};

/// Argument id to argument name, ascending by id.
using TempArgs = std::map<std::uint64_t, std::string>;

/// The arguments of the expanded tree: for each ArgRef id, the name of its
/// last leaf in left-to-right order (so when operands disagree on an id's name,
/// the right one wins). Linear in the number of distinct nodes.
TempArgs collect_temp_args(const SharedTree& tree);

/// The shared form of `tree`, each ArgRef leaf named by `names` (an id absent
/// from it gets an empty name).
SharedTree from_expr_tree(const ExprTree& tree, const TempArgs& names);

/// A copy in which each ArgRef leaf has the id `id_map` gives for its id (or
/// keeps it) and then the name `names` gives for that new id. Subtrees whose
/// leaves all stay as they were are shared with `tree`, and a subtree shared
/// within `tree` stays shared. Linear in the number of distinct nodes.
SharedTree rewrite_leaves(const SharedTree& tree, const std::map<std::uint64_t, std::uint64_t>& id_map,
                          const TempArgs& names);

}  // namespace bmx
