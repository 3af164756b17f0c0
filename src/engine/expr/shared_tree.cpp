// Shared nodes: construction, reference counting, iterative freeing, and the
// walks over the expanded tree.
#include "shared_tree.h"

#include <bit>
#include <limits>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../internal_failure.h"

namespace bmx {

SharedNode::SharedNode(Token, NodeTag tag, std::uint8_t op, std::uint64_t payload, std::string name)
    : tag_(tag), op_(op), payload_(payload), name_(std::move(name)) {}

// Only release() destroys nodes, after detaching their children: the handles
// destroyed here are null, so freeing never recurses.
SharedNode::~SharedNode() = default;

SharedTree SharedTree::make_node(NodeTag tag, std::uint8_t op, std::uint64_t payload, std::string name) {
  // The handle adopts the node with the one reference a new node starts with;
  // release() hands it back to a unique_ptr when the count falls to zero.
  return SharedTree(std::make_unique<SharedNode>(SharedNode::Token(), tag, op, payload, std::move(name)).release());
}

SharedTree SharedTree::constant(double value) {
  return make_node(NodeTag::Const, 0, std::bit_cast<std::uint64_t>(value), {});
}

SharedTree SharedTree::arg_ref(std::uint64_t id, std::string name) {
  return make_node(NodeTag::ArgRef, 0, id, std::move(name));
}

SharedTree SharedTree::unary(UnaryOp op, const SharedTree& child) {
  const SharedTree* children[] = {&child};
  return make_operator(NodeTag::Unary, static_cast<std::uint8_t>(op), children);
}

SharedTree SharedTree::binary(BinaryOp op, const SharedTree& left, const SharedTree& right) {
  const SharedTree* children[] = {&left, &right};
  return make_operator(NodeTag::Binary, static_cast<std::uint8_t>(op), children);
}

SharedTree SharedTree::compare(CompareOp op, const SharedTree& left, const SharedTree& right) {
  const SharedTree* children[] = {&left, &right};
  return make_operator(NodeTag::Compare, static_cast<std::uint8_t>(op), children);
}

SharedTree SharedTree::select(const SharedTree& cond, const SharedTree& then_branch, const SharedTree& else_branch) {
  const SharedTree* children[] = {&cond, &then_branch, &else_branch};
  return make_operator(NodeTag::Select, 0, children);
}

SharedTree SharedTree::make_operator(NodeTag tag, std::uint8_t op, std::span<const SharedTree* const> children) {
  check(children.size() == static_cast<std::size_t>(child_count(tag)) && !children.empty(),
        "an operator node needs one operand per child of its tag");
  constexpr std::uint64_t kSaturated = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total = 1;
  for (const SharedTree* child : children) {
    const std::uint64_t size = child->root().tree_size();
    total = size > kSaturated - total ? kSaturated : total + size;
  }
  SharedTree made = make_node(tag, op, 0, {});
  made.node_->tree_size_ = total;
  for (std::size_t k = 0; k < children.size(); ++k) made.node_->children_[k] = *children[k];
  return made;
}

SharedTree::SharedTree(const SharedTree& other) noexcept : node_(other.node_) {
  if (node_ != nullptr) node_->refs_.fetch_add(1, std::memory_order_relaxed);
}

SharedTree::SharedTree(SharedTree&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}

SharedTree& SharedTree::operator=(const SharedTree& other) noexcept {
  SharedTree copy(other);
  std::swap(node_, copy.node_);
  return *this;
}

SharedTree& SharedTree::operator=(SharedTree&& other) noexcept {
  SharedTree taken(std::move(other));
  std::swap(node_, taken.node_);
  return *this;
}

SharedTree::~SharedTree() { release(node_); }

void SharedTree::release(SharedNode* node) noexcept {
  // acq_rel: the release half publishes this holder's reads of the node; the
  // acquire half, on the last drop, makes every other holder's reads happen
  // before the node is freed.
  if (node == nullptr || node->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // A list linked through the nodes themselves, so that freeing needs no
  // memory and cannot fail.
  SharedNode* doomed = node;
  while (doomed != nullptr) {
    const std::unique_ptr<SharedNode> freed(doomed);
    doomed = freed->next_doomed_;
    for (SharedTree& child : freed->children_) {
      SharedNode* const taken = std::exchange(child.node_, nullptr);
      if (taken == nullptr || taken->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
      taken->next_doomed_ = doomed;
      doomed = taken;
    }
  }
}

namespace {

// Walks the distinct nodes of a tree depth-first, each once, children right
// to left: the first visit of a node is at its rightmost place in the
// expanded tree, so later visits could only repeat what the first one saw.
template <class Visit>
void for_each_distinct_node_right_to_left(const SharedTree& tree, Visit visit) {
  std::unordered_set<const SharedNode*> seen;
  std::vector<const SharedNode*> pending{&tree.root()};
  while (!pending.empty()) {
    const SharedNode* node = pending.back();
    pending.pop_back();
    // A node held by one handle has at most one parent edge and is reached
    // once at most; only shared nodes need remembering.
    if (node->is_shared() && !seen.insert(node).second) continue;
    visit(*node);
    for (const SharedTree& child : node->children()) pending.push_back(&child.root());
  }
}

}  // namespace

TempArgs collect_temp_args(const SharedTree& tree) {
  TempArgs names;
  for_each_distinct_node_right_to_left(tree, [&](const SharedNode& node) {
    // try_emplace keeps the first name seen, the rightmost leaf's.
    if (node.tag() == NodeTag::ArgRef) names.try_emplace(node.payload(), node.name());
  });
  return names;
}

SharedTree from_expr_tree(const ExprTree& tree, const TempArgs& names) {
  // The post-order run as a stack machine whose values are subtrees.
  std::vector<SharedTree> operands;
  for (const ExprNode& node : tree.nodes()) {
    switch (node.tag) {
      case NodeTag::Const: operands.push_back(SharedTree::constant(node.constant())); continue;
      case NodeTag::ArgRef: {
        const auto found = names.find(node.payload);
        operands.push_back(SharedTree::arg_ref(node.payload, found == names.end() ? std::string() : found->second));
        continue;
      }
      case NodeTag::Unary:
      case NodeTag::Binary:
      case NodeTag::Compare:
      case NodeTag::Select: break;
    }
    const std::size_t arity = static_cast<std::size_t>(child_count(node.tag));
    const SharedTree* children[3] = {};
    for (std::size_t k = 0; k < arity; ++k) children[k] = &operands[operands.size() - arity + k];
    SharedTree made = SharedTree::make_operator(node.tag, node.op, std::span(children, arity));
    operands.erase(operands.end() - static_cast<std::ptrdiff_t>(arity), operands.end());
    operands.push_back(std::move(made));
  }
  check(operands.size() == 1, "an ExprTree holds exactly one tree");
  return std::move(operands.back());
}

SharedTree rewrite_leaves(const SharedTree& tree, const std::map<std::uint64_t, std::uint64_t>& id_map,
                          const TempArgs& names) {
  // Each distinct node's replacement, made once all its children's are.
  std::unordered_map<const SharedNode*, SharedTree> replaced;
  const auto replace = [&](const SharedTree& handle) -> SharedTree {
    const SharedNode& node = handle.root();
    if (node.tag() == NodeTag::ArgRef) {
      const auto mapped = id_map.find(node.payload());
      const std::uint64_t id = mapped == id_map.end() ? node.payload() : mapped->second;
      const auto named = names.find(id);
      std::string name = named == names.end() ? std::string() : named->second;
      if (id == node.payload() && name == node.name()) return handle;
      return SharedTree::arg_ref(id, std::move(name));
    }
    const std::span<const SharedTree> children = node.children();
    const SharedTree* new_children[3] = {};
    bool unchanged = true;
    for (std::size_t k = 0; k < children.size(); ++k) {
      new_children[k] = &replaced.at(&children[k].root());
      unchanged = unchanged && new_children[k]->is_same_node(children[k]);
    }
    if (unchanged) return handle;
    return SharedTree::make_operator(node.tag(), node.op(), std::span(new_children, children.size()));
  };
  // Handles on the path from the root, each with the number of its children
  // already entered.
  struct Frame {
    const SharedTree* handle;
    std::size_t entered;
  };
  std::vector<Frame> path{{&tree, 0}};
  while (!path.empty()) {
    Frame& frame = path.back();
    const std::span<const SharedTree> children = frame.handle->root().children();
    if (frame.entered < children.size()) {
      const SharedTree* child = &children[frame.entered++];
      if (!replaced.contains(&child->root())) path.push_back({child, 0});  // `frame` is not used after this
      continue;
    }
    const SharedTree* handle = frame.handle;
    path.pop_back();
    replaced.emplace(&handle->root(), replace(*handle));
  }
  return replaced.at(&tree.root());
}

}  // namespace bmx
