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

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

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

FlatKernel flatten_sharing(const ExprTree& tree) {
  const std::span<const ExprNode> nodes = tree.nodes();
  if (contains_select(tree)) fail_on_select();
  const SubtreeSharing sharing = find_shared_subtrees(tree);

  // Each kept value's temporary is released after the instruction that
  // consumes its last repeat, and only after that instruction's own value has
  // taken a temporary: an instruction never writes a temporary it reads.
  std::vector<std::uint32_t> first_release(nodes.size(), kNone);
  std::vector<std::uint32_t> next_release(nodes.size(), kNone);
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (sharing.roles[i] != NodeRole::Compute) continue;
    const std::uint32_t consumer = sharing.partner[i];
    next_release[i] = first_release[consumer];
    first_release[consumer] = static_cast<std::uint32_t>(i);
  }
  std::vector<std::uint64_t> temp_of(nodes.size(), 0);
  std::vector<std::uint64_t> free_temps;

  FlatKernel kernel;
  kernel.instrs.reserve(nodes.size());
  std::uint64_t depth = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    switch (sharing.roles[i]) {
      case NodeRole::Skipped: continue;
      case NodeRole::Reuse:
        kernel.instrs.push_back({InstrKind::LoadTemp, 0, temp_of[sharing.partner[i]]});
        ++depth;
        break;
      case NodeRole::Plain: depth = append_node(kernel, nodes[i], depth); break;
      case NodeRole::Compute: {
        depth = append_node(kernel, nodes[i], depth);
        std::uint64_t temp = kernel.temp_count;
        if (free_temps.empty()) {
          ++kernel.temp_count;
        } else {
          temp = free_temps.back();
          free_temps.pop_back();
        }
        temp_of[i] = temp;
        kernel.instrs.push_back({InstrKind::StoreTemp, 0, temp});
        break;
      }
    }
    kernel.max_depth = std::max(kernel.max_depth, depth);
    for (std::uint32_t kept = first_release[i]; kept != kNone; kept = next_release[kept]) {
      free_temps.push_back(temp_of[kept]);
    }
  }
  return kernel;
}

CompiledKernel compile_kernel(const ExprTree& tree) {
  if (contains_select(tree)) return CompiledKernel(std::in_place_type<TreeKernel>, tree, find_shared_subtrees(tree));
  return CompiledKernel(std::in_place_type<FlatKernel>, flatten_sharing(tree));
}

}  // namespace bmx
