// The reference stack machine and tree walk.
#include "reference_eval.h"

#include <bit>
#include <string>

#include "operators.h"

namespace bmx {

namespace {

double pop(std::vector<double>& stack) {
  check(!stack.empty(), "stack pop on an empty stack");
  const double value = stack.back();
  stack.pop_back();
  return value;
}

}  // namespace

double eval_flat(const FlatKernel& kernel, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views, std::vector<double>& stack) {
  stack.clear();
  for (const FlatInstr& instr : kernel.instrs) {
    switch (instr.kind) {
      case InstrKind::PushConst: stack.push_back(std::bit_cast<double>(instr.payload)); break;
      case InstrKind::LoadArg: stack.push_back(read_slot(slots, views, instr.payload, i)); break;
      case InstrKind::ApplyUnary: {
        const double x = pop(stack);
        stack.push_back(apply_unary(static_cast<UnaryOp>(instr.op), x));
        break;
      }
      case InstrKind::ApplyBinary: {
        const double r = pop(stack);
        const double l = pop(stack);
        stack.push_back(apply_binary(static_cast<BinaryOp>(instr.op), l, r));
        break;
      }
      case InstrKind::ApplyCompare: {
        const double r = pop(stack);
        const double l = pop(stack);
        stack.push_back(apply_compare(static_cast<CompareOp>(instr.op), l, r));
        break;
      }
      default: fail("unknown instruction kind " + std::to_string(static_cast<int>(instr.kind)));
    }
  }
  check(!stack.empty(), "flat program ended with an empty stack");
  return stack.back();
}

double eval_tree(const ExprTree& tree, std::size_t node_index, std::size_t i, std::span<const ArgSlot> slots,
                 std::span<const SlotView> views) {
  const std::span<const ExprNode> nodes = tree.nodes();
  check(node_index < nodes.size(), "node index beyond the tree");
  // A frame's stage counts the children already evaluated; their values are
  // on `values`, in order.
  struct Frame {
    std::size_t node;
    int stage;
  };
  std::vector<Frame> frames{{node_index, 0}};
  std::vector<double> values;
  while (!frames.empty()) {
    Frame& frame = frames.back();
    const ExprNode& node = nodes[frame.node];
    std::size_t child[3];
    const int children = child_indices(nodes, frame.node, child);
    if (node.tag == NodeTag::Select && frame.stage == 1) {
      // The chosen branch replaces the Select: its value is the Select's.
      const double condition = pop(values);
      frame = {condition == 0.0 ? child[2] : child[1], 0};
      continue;
    }
    if (frame.stage < (node.tag == NodeTag::Select ? 1 : children)) {
      const std::size_t next = child[frame.stage];
      ++frame.stage;
      frames.push_back({next, 0});
      continue;
    }
    switch (node.tag) {
      case NodeTag::Const: values.push_back(node.constant()); break;
      case NodeTag::ArgRef: values.push_back(read_slot(slots, views, node.payload, i)); break;
      case NodeTag::Unary: {
        const double x = pop(values);
        values.push_back(apply_unary(node.unary_op(), x));
        break;
      }
      case NodeTag::Binary: {
        const double r = pop(values);
        const double l = pop(values);
        values.push_back(apply_binary(node.binary_op(), l, r));
        break;
      }
      case NodeTag::Compare: {
        const double r = pop(values);
        const double l = pop(values);
        values.push_back(apply_compare(node.compare_op(), l, r));
        break;
      }
      default: fail("unknown node tag " + std::to_string(static_cast<int>(node.tag)));
    }
    frames.pop_back();
  }
  return pop(values);
}

}  // namespace bmx
