// Flattening and the length check of bound slots.
#include "flat_kernel.h"

#include <algorithm>
#include <string>

#include "../internal_failure.h"
#include "compiled_kernel.h"

namespace bmx {

FlatKernel flatten(const ExprTree& tree) {
  // The tree is already in post-order, so the program is one instruction per
  // node in array order; the depth is that of running it.
  FlatKernel kernel;
  kernel.instrs.reserve(tree.nodes().size());
  std::uint64_t depth = 0;
  for (const ExprNode& node : tree.nodes()) {
    switch (node.tag) {
      case NodeTag::Const:
        kernel.instrs.push_back({InstrKind::PushConst, 0, node.payload});
        ++depth;
        break;
      case NodeTag::ArgRef:
        kernel.instrs.push_back({InstrKind::LoadArg, 0, node.payload});
        ++depth;
        break;
      case NodeTag::Unary: kernel.instrs.push_back({InstrKind::ApplyUnary, node.op, 0}); break;
      case NodeTag::Binary:
        kernel.instrs.push_back({InstrKind::ApplyBinary, node.op, 0});
        --depth;
        break;
      case NodeTag::Compare:
        kernel.instrs.push_back({InstrKind::ApplyCompare, node.op, 0});
        --depth;
        break;
      case NodeTag::Select:
        fail("internal error: entered unreachable code: Select nodes must be handled by the lazy tree evaluator");
    }
    kernel.max_depth = std::max(kernel.max_depth, depth);
  }
  return kernel;
}

CompiledKernel compile_kernel(const ExprTree& tree) {
  if (contains_select(tree)) return CompiledKernel(std::in_place_type<ExprTree>, tree);
  return CompiledKernel(std::in_place_type<FlatKernel>, flatten(tree));
}

}  // namespace bmx
