// Expr: an expression tree together with the names of the arguments it uses,
// and the operations that build and renumber expressions.
//
// Every operation copies its operands; an Expr is never modified after it is
// built. Turning an Expr into a kernel with dense argument slots is
// `elementwise`.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "../result.h"
#include "expr_node.h"
#include "kernel_spec.h"
#include "ops.h"

namespace bmx {

/// Argument id to argument name, ascending by id.
using TempArgs = std::map<std::uint64_t, std::string>;

/// An expression value. The keys of `temp_args` are exactly the ArgRef ids of
/// `tree` for every Expr built by the functions below (rewrite_args keeps this
/// too); `arg_name` is present only on an Expr made by make_arg.
struct Expr {
  std::optional<std::string> arg_name;
  ExprTree tree;
  TempArgs temp_args;
};

/// A named argument: draws one id from next_temp_id(); tree ArgRef(id),
/// temp_args {id: name}, arg_name = name. Any name is accepted, even empty.
Expr make_arg(std::string name);

/// The operand made from a number: a Const leaf with no arguments.
Expr make_const(double value);

/// A copy of `left` with every entry of `right` inserted; on an equal id the
/// name from `right` wins.
TempArgs merge_temp_args(const TempArgs& left, const TempArgs& right);

/// Unary(op, operand), with the operand's arguments.
Expr unary_expr(UnaryOp op, const Expr& operand);

/// Binary(op, left, right), arguments merged left then right.
Expr binary_expr(BinaryOp op, const Expr& left, const Expr& right);

/// Compare(op, left, right), arguments merged left then right.
Expr compare_expr(CompareOp op, const Expr& left, const Expr& right);

/// Select(cond, then_val, else_val); the arguments of cond, then those of
/// then_val, then those of else_val, later ones winning on an equal id.
Expr select_expr(const Expr& cond, const Expr& then_val, const Expr& else_val);

/// A copy with argument ids renumbered: every id that is a key of `mapping`
/// becomes its value, in the tree and in temp_args; other ids stay. When
/// several old ids land on one new id, the name of the greatest old id is kept.
/// `arg_name` is kept unchanged.
Expr rewrite_args(const Expr& expr, const std::map<std::uint64_t, std::uint64_t>& mapping);

/// The kernel of `expr`: its argument ids renumbered densely in ascending
/// order (the smallest id becomes slot 0) and their names in slot order.
/// Fails with ArgError "missing temp arg metadata for arg index N" (N the
/// argument id) for an id without a name, or "duplicate arg name: NAME" when
/// two ids carry one name; the smallest failing id is the one reported.
Result<KernelSpec> elementwise(const Expr& expr);

}  // namespace bmx
