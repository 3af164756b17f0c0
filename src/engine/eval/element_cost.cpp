// The cost column of the function table, by float64 operator, and the sums
// over programs.
#include "element_cost.h"

namespace bmx {

// Each float64 operator's row as Y(name, cost): ops.h's row expander, with
// the cost column where it takes the code.
#define BMX_COST_ROW(callers, typed, name, code, numpy, arity, rule, families, levels, float32, kind, op, op_code, \
                     sleef, cost, fast)                                                                         \
  BMX_FLOAT64_CALL(BMX_KIND_##kind callers, op, cost)
#define BMX_COST_CASE(name, cost) \
  case decltype(op)::name: return cost;

std::size_t operation_cost(UnaryOp op) {
  switch (op) { BMX_FUNCTIONS(BMX_COST_ROW, (BMX_COST_CASE, BMX_DROP, BMX_DROP)) }
  return 1;
}

std::size_t operation_cost(BinaryOp op) {
  switch (op) { BMX_FUNCTIONS(BMX_COST_ROW, (BMX_DROP, BMX_COST_CASE, BMX_DROP)) }
  return 1;
}

std::size_t operation_cost(CompareOp op) {
  switch (op) { BMX_FUNCTIONS(BMX_COST_ROW, (BMX_DROP, BMX_DROP, BMX_COST_CASE)) }
  return 1;
}

#undef BMX_COST_ROW
#undef BMX_COST_CASE

std::size_t element_cost(const FlatKernel& kernel) {
  std::size_t cost = 0;
  for (const FlatInstr& instr : kernel.instrs) {
    switch (instr.kind) {
      case InstrKind::ApplyUnary: cost += operation_cost(static_cast<UnaryOp>(instr.op)); break;
      case InstrKind::ApplyBinary: cost += operation_cost(static_cast<BinaryOp>(instr.op)); break;
      case InstrKind::ApplyCompare: cost += operation_cost(static_cast<CompareOp>(instr.op)); break;
      default: break;
    }
  }
  return cost;
}

std::size_t element_cost(const ExprTree& tree) {
  std::size_t cost = 0;
  for (const ExprNode& node : tree.nodes()) {
    switch (node.tag) {
      case NodeTag::Unary: cost += operation_cost(node.unary_op()); break;
      case NodeTag::Binary: cost += operation_cost(node.binary_op()); break;
      case NodeTag::Compare: cost += operation_cost(node.compare_op()); break;
      case NodeTag::Select: cost += 1; break;
      default: break;
    }
  }
  return cost;
}

std::size_t element_cost(const CompiledKernel& compiled) {
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) return element_cost(*flat);
  return element_cost(std::get<TreeKernel>(compiled).tree);
}

}  // namespace bmx
