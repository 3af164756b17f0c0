// Elementwise functions by operator name, and the names the package may use.
#include "py_operators.h"

#include <optional>
#include <span>
#include <string>

#include "boundary.h"
#include "convert.h"
#include "expr/ops.h"
#include "expr_record.h"
#include "method_table.h"
#include "module_names.h"
#include "py_expr.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

// The operator of `ops` named by the call's first argument. Otherwise empty,
// with the argument's TypeError (not a str) or ValueError "unknown <kind>
// operator 'NAME'" set.
template <class Op>
std::optional<Op> named_op(const BoundArgs& bound, std::span<const Op> ops, const char* kind) {
  std::string name;
  if (!to_text(bound[0], name)) {
    argument_error(bound, 0);
    return std::nullopt;
  }
  for (const Op op : ops) {
    if (name == op_name(op)) return op;
  }
  set_error(PyExc_ValueError, std::string("unknown ") + kind + " operator '" + name + "'");
  return std::nullopt;
}

PyObject* unary_impl(PyObject*, const BoundArgs& bound) {
  const std::optional<UnaryOp> op = named_op<UnaryOp>(bound, kUnaryOps, "unary");
  if (!op) return nullptr;
  const Expr* operand = unwrap_expr(bound[1]);
  if (operand == nullptr) return argument_error(bound, 1);
  return wrap_expr(unary_expr(*op, *operand));
}

PyObject* binary_impl(PyObject*, const BoundArgs& bound) {
  const std::optional<BinaryOp> op = named_op<BinaryOp>(bound, kBinaryOps, "binary");
  if (!op) return nullptr;
  // Either side may be a number, which becomes a constant.
  const std::optional<Operand> left = to_operand(bound[1]);
  if (!left) return argument_error(bound, 1);
  const std::optional<Operand> right = to_operand(bound[2]);
  if (!right) return argument_error(bound, 2);
  return wrap_expr(binary_expr(*op, left->get(), right->get()));
}

PyObject* expr_record_impl(PyObject*, const BoundArgs& bound) {
  if (unwrap_expr(bound[0]) == nullptr) return argument_error(bound, 0);
  const Record& record = record_of_expr(bound[0]);
  return record ? flat_record(*record) : PyRef::borrow(Py_None).release();
}

PyObject* expr_built_impl(PyObject*, const BoundArgs& bound) {
  const Expr* expr = unwrap_expr(bound[0]);
  if (expr == nullptr) return argument_error(bound, 0);
  std::string name;
  if (!to_text(bound[1], name)) return argument_error(bound, 1);
  std::span<PyObject* const> operands;
  if (!to_tuple_items(bound[2], operands)) return argument_error(bound, 2);
  Record record = record_of(PyRef::borrow(bound[1]), operands);
  if (!record) return PyRef::borrow(bound[0]).release();
  return wrap_expr(*expr, std::move(record));
}

using enum ParamKind;
constexpr Param kUnaryParams[] = {{"op", Required}, {"operand", Required}};
constexpr Param kBinaryParams[] = {{"op", Required}, {"left", Required}, {"right", Required}};
constexpr Param kRecordParams[] = {{"expr", Required}};
constexpr Param kBuiltParams[] = {{"expr", Required}, {"name", Required}, {"operands", Required}};

constexpr Method kOperatorsFunctions[] = {
    {"_unary", kUnaryParams, "Unary(op, operand), the operator named as in _UNARY_OPS.", unary_impl},
    {"_binary", kBinaryParams, "Binary(op, left, right), the operator named as in _BINARY_OPS; a number is a constant.", binary_impl},
    {"_expr_record", kRecordParams, "How the package built expr (a flat tuple), or None where unknown.",
     expr_record_impl},
    {"_expr_built", kBuiltParams,
     "expr recorded as built by the function name over operands (Exprs, and numbers as given); expr itself "
     "where an operand's record is unknown.",
     expr_built_impl},
};

bool add_operator_names(PyObject* module) {
  // NumPy's scalars and arrays give way to Expr's own operators (NumPy's
  // protocol for that is this attribute being None): `np.float32(2) * x`
  // reaches Expr with the scalar as given, not as the Python float NumPy
  // would make of it, and a ufunc called on an Expr is a TypeError.
  PyTypeObject* expr = expr_type().get_or_create();
  if (expr == nullptr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(expr), "__array_ufunc__", Py_None) < 0) {
    return false;
  }
  const auto name = [](auto op) { return op_name(op); };
  return add_names(module, "_UNARY_OPS", kUnaryOps, name) && add_names(module, "_BINARY_OPS", kBinaryOps, name);
}

}  // namespace

const ModulePart kOperatorsPart{method_defs<kOperatorsFunctions>, add_operator_names};

}  // namespace bmx::py
