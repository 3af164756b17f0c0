// Building, merging and renumbering expressions, and dense slot numbering.
#include "expr.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "temp_id.h"

namespace bmx {

Expr make_arg(std::string name) {
  const std::uint64_t id = next_temp_id();
  TempArgs temp_args{{id, name}};
  return Expr{std::move(name), ExprTree::arg_ref(id), std::move(temp_args)};
}

Expr make_const(double value) { return Expr{std::nullopt, ExprTree::constant(value), {}}; }

TempArgs merge_temp_args(const TempArgs& left, const TempArgs& right) {
  TempArgs merged = left;
  for (const auto& [id, name] : right) merged.insert_or_assign(id, name);
  return merged;
}

Expr unary_expr(UnaryOp op, const Expr& operand) {
  return Expr{std::nullopt, ExprTree::unary(op, operand.tree), operand.temp_args};
}

Expr binary_expr(BinaryOp op, const Expr& left, const Expr& right) {
  return Expr{std::nullopt, ExprTree::binary(op, left.tree, right.tree),
              merge_temp_args(left.temp_args, right.temp_args)};
}

Expr compare_expr(CompareOp op, const Expr& left, const Expr& right) {
  return Expr{std::nullopt, ExprTree::compare(op, left.tree, right.tree),
              merge_temp_args(left.temp_args, right.temp_args)};
}

Expr select_expr(const Expr& cond, const Expr& then_val, const Expr& else_val) {
  return Expr{std::nullopt, ExprTree::select(cond.tree, then_val.tree, else_val.tree),
              merge_temp_args(merge_temp_args(cond.temp_args, then_val.temp_args), else_val.temp_args)};
}

Expr rewrite_args(const Expr& expr, const std::map<std::uint64_t, std::uint64_t>& mapping) {
  // Walking the old ids in ascending order and overwriting on a clash is the
  // same as a stable sort by new id in which the last pair wins: the survivor
  // is the greatest old id.
  TempArgs temp_args;
  for (const auto& [id, name] : expr.temp_args) {
    const auto found = mapping.find(id);
    temp_args.insert_or_assign(found == mapping.end() ? id : found->second, name);
  }
  return Expr{expr.arg_name, expr.tree.remap_arg_ids(mapping), std::move(temp_args)};
}

Result<KernelSpec> elementwise(const Expr& expr) {
  const std::vector<std::uint64_t> ids = referenced_ids(expr.tree);
  std::vector<std::string> arg_names;
  arg_names.reserve(ids.size());
  std::unordered_set<std::string> seen;
  std::unordered_map<std::uint64_t, std::uint64_t> slots;
  for (const std::uint64_t id : ids) {
    const auto found = expr.temp_args.find(id);
    if (found == expr.temp_args.end()) {
      return ComputeError::arg("missing temp arg metadata for arg index " + std::to_string(id));
    }
    if (!seen.insert(found->second).second) return ComputeError::arg("duplicate arg name: " + found->second);
    slots.emplace(id, arg_names.size());
    arg_names.push_back(found->second);
  }
  return KernelSpec{std::move(arg_names), expr.tree.remap_arg_ids(slots)};
}

}  // namespace bmx
