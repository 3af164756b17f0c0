// Building and renumbering expressions, and dense slot numbering.
#include "expr.h"

#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "temp_id.h"

namespace bmx {

Expr make_arg(std::string name) {
  const std::uint64_t id = next_temp_id();
  SharedTree tree = SharedTree::arg_ref(id, name);
  return Expr{std::move(name), std::move(tree)};
}

Expr make_const(double value) { return Expr{std::nullopt, SharedTree::constant(value)}; }

Expr unary_expr(UnaryOp op, const Expr& operand) { return Expr{std::nullopt, SharedTree::unary(op, operand.tree)}; }

Expr binary_expr(BinaryOp op, const Expr& left, const Expr& right) {
  return Expr{std::nullopt, SharedTree::binary(op, left.tree, right.tree)};
}

Expr compare_expr(CompareOp op, const Expr& left, const Expr& right) {
  return Expr{std::nullopt, SharedTree::compare(op, left.tree, right.tree)};
}

Expr select_expr(const Expr& cond, const Expr& then_val, const Expr& else_val) {
  return Expr{std::nullopt, SharedTree::select(cond.tree, then_val.tree, else_val.tree)};
}

Expr rewrite_args(const Expr& expr, const std::map<std::uint64_t, std::uint64_t>& mapping) {
  // Walking the old ids in ascending order and overwriting on a clash is the
  // same as a stable sort by new id in which the last pair wins: the survivor
  // is the greatest old id.
  TempArgs temp_args;
  for (auto& [id, name] : collect_temp_args(expr.tree)) {
    const auto found = mapping.find(id);
    temp_args.insert_or_assign(found == mapping.end() ? id : found->second, std::move(name));
  }
  return Expr{expr.arg_name, rewrite_leaves(expr.tree, mapping, temp_args)};
}

Result<KernelSpec> elementwise(const Expr& expr) {
  const TempArgs temp_args = collect_temp_args(expr.tree);
  std::vector<std::string> arg_names;
  arg_names.reserve(temp_args.size());
  std::unordered_set<std::string> seen;
  std::unordered_map<std::uint64_t, std::uint64_t> slots;
  for (const auto& [id, name] : temp_args) {
    if (!seen.insert(name).second) return ComputeError::arg("duplicate arg name: " + name);
    slots.emplace(id, arg_names.size());
    arg_names.push_back(name);
  }
  return KernelSpec{std::move(arg_names), ExprGraph::of(expr.tree, slots)};
}

}  // namespace bmx
