// ExprTree construction and the whole-tree queries.
#include "expr_node.h"

#include <algorithm>
#include <limits>
#include <new>

#include "../internal_failure.h"

namespace bmx {

ExprTree ExprTree::constant(double value) {
  return ExprTree({ExprNode{NodeTag::Const, 0, 1, std::bit_cast<std::uint64_t>(value)}});
}

ExprTree ExprTree::arg_ref(std::uint64_t id) { return ExprTree({ExprNode{NodeTag::ArgRef, 0, 1, id}}); }

ExprTree ExprTree::unary(UnaryOp op, const ExprTree& child) {
  return join(ExprNode{NodeTag::Unary, static_cast<std::uint8_t>(op), 0, 0}, {&child});
}

ExprTree ExprTree::binary(BinaryOp op, const ExprTree& left, const ExprTree& right) {
  return join(ExprNode{NodeTag::Binary, static_cast<std::uint8_t>(op), 0, 0}, {&left, &right});
}

ExprTree ExprTree::compare(CompareOp op, const ExprTree& left, const ExprTree& right) {
  return join(ExprNode{NodeTag::Compare, static_cast<std::uint8_t>(op), 0, 0}, {&left, &right});
}

ExprTree ExprTree::select(const ExprTree& cond, const ExprTree& then_branch, const ExprTree& else_branch) {
  return join(ExprNode{NodeTag::Select, 0, 0, 0}, {&cond, &then_branch, &else_branch});
}

ExprTree ExprTree::join(ExprNode parent, std::initializer_list<const ExprTree*> children) {
  std::size_t total = 1;
  for (const ExprTree* child : children) total += child->nodes_.size();
  // A tree of 2^32 nodes would need 64 GiB; refusing it keeps `size` 32 bits wide.
  if (total > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  std::vector<ExprNode> nodes;
  nodes.reserve(total);
  for (const ExprTree* child : children) nodes.insert(nodes.end(), child->nodes_.begin(), child->nodes_.end());
  parent.size = static_cast<std::uint32_t>(total);
  nodes.push_back(parent);
  return ExprTree(std::move(nodes));
}

ExprTree ExprTree::from_post_order(std::vector<ExprNode> nodes) {
  if (nodes.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  // Subtree sizes of the roots not yet taken as operands, as a program's value
  // stack would hold them.
  std::vector<std::uint32_t> pending;
  for (ExprNode& node : nodes) {
    const auto arity = static_cast<std::size_t>(child_count(node.tag));
    check(pending.size() >= arity, "post-order node has fewer operands than its arity");
    std::uint32_t size = 1;
    for (std::size_t k = 0; k < arity; ++k) {
      size += pending.back();
      pending.pop_back();
    }
    node.size = size;
    pending.push_back(size);
  }
  check(pending.size() == 1, "post-order nodes do not form exactly one tree");
  return ExprTree(std::move(nodes));
}

int child_indices(std::span<const ExprNode> nodes, std::size_t index, std::size_t (&out)[3]) {
  const int count = child_count(nodes[index].tag);
  std::size_t end = index;  // one past the root of the current (rightmost unvisited) child
  for (int k = count - 1; k >= 0; --k) {
    const std::size_t child_root = end - 1;
    out[k] = child_root;
    end = child_root + 1 - nodes[child_root].size;
  }
  return count;
}

bool contains_select(const ExprTree& tree) {
  return std::any_of(tree.nodes().begin(), tree.nodes().end(),
                     [](const ExprNode& node) { return node.tag == NodeTag::Select; });
}

}  // namespace bmx
