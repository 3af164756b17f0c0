// Expr: an expression tree with the names of the arguments it uses, and the
// operations that build and renumber expressions.
//
// Operators share their operands' nodes instead of copying them, so building
// costs one node per operation; an Expr is never modified after it is built.
// Turning an Expr into a kernel with dense argument slots is `elementwise`.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "../result.h"
#include "kernel_spec.h"
#include "ops.h"
#include "shared_tree.h"

namespace bmx {

/// An expression value. Its `temp_args` (argument id to name) are those its
/// tree's leaves carry, see collect_temp_args; their ids are exactly the
/// tree's ArgRef ids. `arg_name` is present only on an Expr made by make_arg.
struct Expr {
  std::optional<std::string> arg_name;
  SharedTree tree;
};

/// A named argument: draws one id from next_temp_id(); tree ArgRef(id),
/// temp_args {id: name}, arg_name = name. Any name is accepted, even empty.
Expr make_arg(std::string name);

/// The operand made from a number: a Const leaf with no arguments.
Expr make_const(double value);

/// Unary(op, operand), with the operand's arguments.
Expr unary_expr(UnaryOp op, const Expr& operand);

/// Binary(op, left, right); on an id both sides name differently, the right
/// side's name wins.
Expr binary_expr(BinaryOp op, const Expr& left, const Expr& right);

/// Compare(op, left, right); names merged as by binary_expr.
Expr compare_expr(CompareOp op, const Expr& left, const Expr& right);

/// Select(cond, then_val, else_val); on an id named differently, else_val's
/// name wins over then_val's, which wins over cond's.
Expr select_expr(const Expr& cond, const Expr& then_val, const Expr& else_val);

/// A copy with argument ids renumbered: every id that is a key of `mapping`
/// becomes its value, in the tree and in temp_args; other ids stay. When
/// several old ids land on one new id, the name of the greatest old id is kept.
/// `arg_name` is kept unchanged.
Expr rewrite_args(const Expr& expr, const std::map<std::uint64_t, std::uint64_t>& mapping);

/// The kernel of `expr`: its argument ids renumbered densely in ascending
/// order (the smallest id becomes slot 0) and their names in slot order.
/// Fails with ArgError "duplicate arg name: NAME" when two ids carry one
/// name; the smallest failing id is the one reported.
Result<KernelSpec> elementwise(const Expr& expr);

}  // namespace bmx
