// The reference engines and the evaluation driver.
#include "evaluator.h"

#include <bit>
#include <string>

#include "flat_block_eval.h"
#include "operators.h"
#include "tree_block_eval.h"
#include "pool/pool.h"

namespace bmx {

namespace {

double pop(std::vector<double>& stack) {
  check(!stack.empty(), "stack pop on an empty stack");
  const double value = stack.back();
  stack.pop_back();
  return value;
}

/// Runs body(begin, end) over [0, n): on the calling thread below the
/// sequential threshold, else on the pool in pieces of at least `min_piece`.
template <class Body>
void run_range(std::size_t n, std::size_t min_piece, const Body& body) {
  if (n < kSequentialThreshold) {
    body(0, n);
    return;
  }
  WorkPool::global().run_pieces(n, min_piece, body);
}

}  // namespace

std::vector<SlotView> make_slot_views(std::span<const ArgSlot> slots) {
  std::vector<SlotView> views;
  views.reserve(slots.size());
  for (const ArgSlot& slot : slots) {
    if (const BufferRef* buffer = std::get_if<BufferRef>(&slot)) {
      check(*buffer != nullptr, "buffer slot without a buffer");
      views.emplace_back((*buffer)->as_f64_slice());
    } else {
      views.emplace_back(std::nullopt);
    }
  }
  return views;
}

std::vector<SlotSource> make_slot_sources(std::span<const ArgSlot> slots, std::span<const SlotView> views,
                                          std::size_t n) {
  check(views.size() == slots.size(), "one slot view per slot");
  std::vector<SlotSource> sources;
  sources.reserve(slots.size());
  for (std::size_t s = 0; s < slots.size(); ++s) {
    if (const double* scalar = std::get_if<double>(&slots[s])) {
      sources.push_back({nullptr, *scalar});
      continue;
    }
    check(views[s].has_value(), "buffer slot without a view");
    check(views[s]->size() >= n, "element index beyond the slot's view");
    sources.push_back({views[s]->data(), 0.0});
  }
  return sources;
}

double read_slot(std::span<const ArgSlot> slots, std::span<const SlotView> views, std::uint64_t slot,
                 std::size_t i) {
  check(slot < slots.size(), "slot index beyond the slots");
  if (const double* scalar = std::get_if<double>(&slots[slot])) return *scalar;
  check(slot < views.size() && views[slot].has_value(), "buffer slot without a view");
  const std::span<const double> view = *views[slot];
  check(i < view.size(), "element index beyond the slot's view");
  return view[i];
}

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

F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots) {
  if (n == 0) return F64Vec();
  const std::vector<SlotView> views = make_slot_views(slots);
  // Not zero-filled: each element is first touched by the piece that computes it.
  F64Vec values(n);
  double* const out = values.data();
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) {
    const FlatBlockProgram program(*flat, slots, views, n);
    run_range(n, kMinFlatPiece,
              [&program, out](std::size_t begin, std::size_t end) { program.run(begin, end, out + begin); });
  } else {
    const TreeBlockProgram program(std::get<ExprTree>(compiled), slots, views, n);
    run_range(n, kMinTreePiece,
              [&program, out](std::size_t begin, std::size_t end) { program.run(begin, end, out + begin); });
  }
  return values;
}

}  // namespace bmx
