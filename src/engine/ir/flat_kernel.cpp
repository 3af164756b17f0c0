// Flattening and the length check of bound slots.
#include "flat_kernel.h"

#include <algorithm>
#include <limits>
#include <string>

#include "../internal_failure.h"
#include "compiled_kernel.h"
#include "shared_subtrees.h"

namespace bmx {

namespace {

constexpr std::uint64_t kNoTemp = std::numeric_limits<std::uint64_t>::max();

[[noreturn]] void fail_on_select() {
  fail("internal error: entered unreachable code: Select nodes must be handled by the lazy tree evaluator");
}

/// Appends the instruction of one node and returns the stack depth after it.
std::uint64_t append_node(FlatKernel& kernel, const ExprNode& node, std::uint64_t depth) {
  switch (node.tag) {
    case NodeTag::Const: kernel.instrs.push_back({InstrKind::PushConst, 0, node.payload}); return depth + 1;
    case NodeTag::ArgRef: kernel.instrs.push_back({InstrKind::LoadArg, 0, node.payload}); return depth + 1;
    case NodeTag::Unary: kernel.instrs.push_back({InstrKind::ApplyUnary, node.op, 0}); return depth;
    case NodeTag::Binary: kernel.instrs.push_back({InstrKind::ApplyBinary, node.op, 0}); return depth - 1;
    case NodeTag::Compare: kernel.instrs.push_back({InstrKind::ApplyCompare, node.op, 0}); return depth - 1;
    case NodeTag::Select: break;
  }
  fail_on_select();
}

}  // namespace

FlatKernel flatten(const ExprTree& tree) {
  // The tree is already in post-order, so the program is one instruction per
  // node in array order; the depth is that of running it.
  FlatKernel kernel;
  kernel.instrs.reserve(tree.nodes().size());
  std::uint64_t depth = 0;
  for (const ExprNode& node : tree.nodes()) {
    depth = append_node(kernel, node, depth);
    kernel.max_depth = std::max(kernel.max_depth, depth);
  }
  return kernel;
}

FlatKernel flatten_sharing(const ExprGraph& graph) {
  const std::span<const GraphNode> nodes = graph.nodes();
  if (contains_select(graph)) fail_on_select();
  // Operand places naming each node, as yet unconsumed. A non-leaf node with
  // more than one is kept in a temporary; the temporary is free again once
  // the last of them has been consumed, because until then an operand on
  // the stack may still point into its block.
  std::vector<std::uint32_t> unconsumed(nodes.size(), 0);
  for (const GraphNode& node : nodes) {
    for (int k = 0; k < child_count(node.tag); ++k) ++unconsumed[node.children[k]];
  }
  std::vector<std::uint64_t> temp_of(nodes.size(), kNoTemp);
  std::vector<std::uint64_t> free_temps;

  FlatKernel kernel;
  std::uint64_t depth = 0;
  const auto append = [&](FlatInstr instr, std::uint64_t depth_after) {
    kernel.instrs.push_back(instr);
    depth = depth_after;
    kernel.max_depth = std::max(kernel.max_depth, depth);
  };
  // Operator nodes on the path from the root, each with the number of its
  // operands already entered.
  struct Frame {
    std::uint32_t index;
    int entered;
  };
  std::vector<Frame> path;
  // Appends the instruction that reads an operand, or starts computing it.
  const auto enter = [&](std::uint32_t index) {
    const GraphNode& node = nodes[index];
    if (node.tag == NodeTag::Const) {
      append({InstrKind::PushConst, 0, node.payload}, depth + 1);
    } else if (node.tag == NodeTag::ArgRef) {
      append({InstrKind::LoadArg, 0, node.payload}, depth + 1);
    } else if (temp_of[index] != kNoTemp) {
      append({InstrKind::LoadTemp, 0, temp_of[index]}, depth + 1);
    } else {
      path.push_back({index, 0});
    }
  };
  enter(static_cast<std::uint32_t>(nodes.size() - 1));
  while (!path.empty()) {
    Frame& frame = path.back();
    const GraphNode& node = nodes[frame.index];
    const int children = child_count(node.tag);
    if (frame.entered < children) {
      enter(node.children[frame.entered++]);  // may reallocate `path`; `frame` is not used after this
      continue;
    }
    const std::uint32_t index = frame.index;
    path.pop_back();
    const auto kind = node.tag == NodeTag::Unary ? InstrKind::ApplyUnary
                      : node.tag == NodeTag::Binary ? InstrKind::ApplyBinary
                                                    : InstrKind::ApplyCompare;
    append({kind, node.op, 0}, depth + 1 - static_cast<std::uint64_t>(children));
    // The node's own temporary is taken before its operands' are freed: an
    // instruction never writes a temporary it reads.
    if (unconsumed[index] > 1) {
      std::uint64_t temp = kernel.temp_count;
      if (free_temps.empty()) {
        ++kernel.temp_count;
      } else {
        temp = free_temps.back();
        free_temps.pop_back();
      }
      temp_of[index] = temp;
      kernel.instrs.push_back({InstrKind::StoreTemp, 0, temp});
    }
    for (int k = 0; k < children; ++k) {
      const std::uint32_t child = node.children[k];
      if (temp_of[child] != kNoTemp && --unconsumed[child] == 0) free_temps.push_back(temp_of[child]);
    }
  }
  return kernel;
}

CompiledKernel compile_kernel(const ExprGraph& tree) {
  if (contains_select(tree)) {
    // The lazy tree evaluator needs the tree itself: a value kept in one
    // Select branch serves only that branch's repeats.
    ExprTree expanded = tree.expand();
    SubtreeSharing sharing = find_shared_subtrees(expanded);
    return CompiledKernel(std::in_place_type<TreeKernel>, std::move(expanded), std::move(sharing));
  }
  return CompiledKernel(std::in_place_type<FlatKernel>, flatten_sharing(tree));
}

}  // namespace bmx
