// Flattening and the length check of bound slots.
#include "flat_kernel.h"

#include <algorithm>
#include <string>

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

Result<std::uint64_t> common_length(std::span<const ArgSlot> slots) {
  bool found = false;
  std::uint64_t reference = 0;
  for (const ArgSlot& slot : slots) {
    const auto* buffer = std::get_if<BufferRef>(&slot);
    if (buffer == nullptr) continue;
    const std::uint64_t count = (*buffer)->element_count();
    if (!found) {
      found = true;
      reference = count;
    } else if (count != reference) {
      return ComputeError::shape("buffer length mismatch: " + std::to_string(reference) + " vs " +
                                 std::to_string(count));
    }
  }
  if (!found) return ComputeError::arg("no buffer arguments provided");
  return reference;
}

}  // namespace bmx
