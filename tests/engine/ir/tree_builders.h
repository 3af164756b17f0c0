// Short builders of expression trees shared by the IR tests.
#pragma once

#include <cstdint>

#include "expr/expr_node.h"

namespace bmx::ir_test {

inline ExprTree arg(std::uint64_t slot) { return ExprTree::arg_ref(slot); }
inline ExprTree num(double value) { return ExprTree::constant(value); }
inline ExprTree add(const ExprTree& l, const ExprTree& r) { return ExprTree::binary(BinaryOp::Add, l, r); }
inline ExprTree mul(const ExprTree& l, const ExprTree& r) { return ExprTree::binary(BinaryOp::Mul, l, r); }

}  // namespace bmx::ir_test
