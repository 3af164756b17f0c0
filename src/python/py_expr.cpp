// Expr: operator overloads (each recording how it built its result), repr and
// the argument-id methods.
#include "py_expr.h"

#include <map>
#include <memory>
#include <vector>

#include "arg_binder.h"
#include "convert.h"
#include "expr/expr_format.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

bool is_expr(PyObject* object) { return is_instance(object, expr_type().get()); }

const Expr& expr_of(PyObject* object) { return payload<ExprValue>(object).expr; }

const char* symbol(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add: return "+";
    case BinaryOp::Sub: return "-";
    case BinaryOp::Mul: return "*";
    case BinaryOp::Div: return "/";
    case BinaryOp::Pow: return "**";
    default: return op_name(op);
  }
}

const char* symbol(CompareOp op) {
  switch (op) {
    case CompareOp::Lt: return "<";
    case CompareOp::Le: return "<=";
    case CompareOp::Eq: return "==";
    case CompareOp::Ne: return "!=";
    case CompareOp::Gt: return ">";
    case CompareOp::Ge: return ">=";
  }
  return "";
}

Record recorded(const char* name, std::span<PyObject* const> operands) {
  return record_of(PyRef::steal(new_text(name)), operands);
}

// Both operand orders reach the same slot; the tree keeps the source order.
template <BinaryOp op>
PyObject* binary_slot(PyObject* left, PyObject* right) {
  return guard([&]() -> PyObject* {
    if (!is_expr(left) && !is_expr(right)) Py_RETURN_NOTIMPLEMENTED;
    const std::optional<Operand> first = to_operand(left);
    if (!first) return nullptr;
    const std::optional<Operand> second = to_operand(right);
    if (!second) return nullptr;
    PyObject* const operands[] = {left, right};
    return wrap_expr(binary_expr(op, first->get(), second->get()), recorded(symbol(op), operands));
  });
}

// The modulus of the three-argument pow() is accepted and ignored.
PyObject* power_slot(PyObject* left, PyObject* right, PyObject*) { return binary_slot<BinaryOp::Pow>(left, right); }

template <UnaryOp op>
PyObject* unary_slot(PyObject* self) {
  return guard([&]() -> PyObject* {
    PyObject* const operands[] = {self};
    return wrap_expr(unary_expr(op, expr_of(self)), recorded(op == UnaryOp::Neg ? "u-" : "abs", operands));
  });
}

int bool_slot(PyObject*) {
  set_error(PyExc_TypeError, "cannot convert Expr to bool; use kernel.where(cond, t, f) for conditional expressions");
  return -1;
}

std::optional<CompareOp> compare_op(int operation) {
  switch (operation) {
    case Py_LT: return CompareOp::Lt;
    case Py_LE: return CompareOp::Le;
    case Py_EQ: return CompareOp::Eq;
    case Py_NE: return CompareOp::Ne;
    case Py_GT: return CompareOp::Gt;
    case Py_GE: return CompareOp::Ge;
    default: return std::nullopt;
  }
}

PyObject* richcompare_slot(PyObject* self, PyObject* other, int operation) {
  return guard([&]() -> PyObject* {
    const std::optional<CompareOp> op = compare_op(operation);
    if (!is_expr(self) || !op) Py_RETURN_NOTIMPLEMENTED;
    const std::optional<Operand> right = to_operand(other);
    if (!right) return nullptr;
    PyObject* const operands[] = {self, other};
    return wrap_expr(compare_expr(*op, expr_of(self), right->get()), recorded(symbol(*op), operands));
  });
}

PyObject* repr_slot(PyObject* self) {
  return guard([&]() -> PyObject* {
    const std::string text = expr_repr(expr_of(self));
    return new_text(text);
  });
}

PyObject* get_temp_args_impl(PyObject* self, const BoundArgs&) {
  PyRef dict = PyRef::steal(expect_object(PyDict_New()));
  for (const auto& [id, name] : collect_temp_args(expr_of(self).tree)) {
    const PyRef key = PyRef::steal(expect_object(PyLong_FromUnsignedLongLong(id)));
    const PyRef value = PyRef::steal(new_text(name));
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) fail_python_api();
  }
  return dict.release();
}

PyObject* get_referenced_args_impl(PyObject* self, const BoundArgs&) {
  const TempArgs temp_args = collect_temp_args(expr_of(self).tree);
  PyRef list = PyRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(temp_args.size()))));
  Py_ssize_t i = 0;
  for (const auto& [id, name] : temp_args) {
    PyList_SET_ITEM(list.get(), i++, expect_object(PyLong_FromUnsignedLongLong(id)));
  }
  return list.release();
}

// A dict of unsigned 64-bit integers to unsigned 64-bit integers, converted as a whole.
bool to_id_map(PyObject* value, std::map<std::uint64_t, std::uint64_t>& out) {
  if (!PyDict_Check(value)) {
    raise_conversion_error(value, "PyDict");
    return false;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* mapped = nullptr;
  while (PyDict_Next(value, &position, &key, &mapped)) {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    if (!to_u64(key, from) || !to_u64(mapped, to)) return false;
    out[from] = to;
  }
  return true;
}

PyObject* rewrite_args_impl(PyObject* self, const BoundArgs& bound) {
  std::map<std::uint64_t, std::uint64_t> mapping;
  if (!to_id_map(bound[0], mapping)) return argument_error(bound, 0);
  return wrap_expr(rewrite_args(expr_of(self), mapping));
}

constexpr Param kRewriteArgsParams[] = {{"mapping", ParamKind::Required}};

constexpr Method kExprMethods[] = {
    {"get_temp_args", {}, "", get_temp_args_impl},
    {"get_referenced_args", {}, "", get_referenced_args_impl},
    {"rewrite_args", kRewriteArgsParams, "", rewrite_args_impl},
};

constexpr const char* kDoc =
    "Python-visible expression node.\n"
    "Operator overloading builds an `Expr` tree without any computation.\n"
    "\n"
    "`temp_args` maps temporary argument IDs to their names.\n"
    "Each `arg(\"x\")` call assigns a unique `temp_id` via a global counter,\n"
    "and operators merge both sides' `temp_args` by a union of ordered maps.";

constexpr ClassDef kExprClass{.name = "Expr", .doc = kDoc, .methods = kExprMethods};

}  // namespace

LazyType& expr_type() {
  return lazy_type<kExprClass, ExprValue>({
      {Py_tp_repr, as_slot(repr_slot)},
      {Py_tp_hash, as_slot(PyObject_HashNotImplemented)},
      {Py_tp_richcompare, as_slot(richcompare_slot)},
      {Py_nb_add, as_slot(binary_slot<BinaryOp::Add>)},
      {Py_nb_subtract, as_slot(binary_slot<BinaryOp::Sub>)},
      {Py_nb_multiply, as_slot(binary_slot<BinaryOp::Mul>)},
      {Py_nb_true_divide, as_slot(binary_slot<BinaryOp::Div>)},
      {Py_nb_power, as_slot(power_slot)},
      {Py_nb_negative, as_slot(unary_slot<UnaryOp::Neg>)},
      {Py_nb_absolute, as_slot(unary_slot<UnaryOp::Abs>)},
      {Py_nb_bool, as_slot(bool_slot)},
  });
}

PyObject* wrap_expr(Expr expr, Record record) {
  return make_instance(expr_type().get(), ExprValue{std::move(expr), std::move(record)});
}

const Expr* unwrap_expr(PyObject* object) {
  const ExprValue* value = payload_of<ExprValue>(object, expr_type());
  return value == nullptr ? nullptr : &value->expr;
}

const Record& record_of_expr(PyObject* object) { return payload<ExprValue>(object).record; }

Record record_of(PyRef name, std::span<PyObject* const> operands) {
  std::vector<Record> records;
  for (PyObject* operand : operands) {
    if (!is_expr(operand)) {
      records.push_back(std::make_shared<RecordNode>(PyRef::borrow(operand), std::vector<Record>{}));
      continue;
    }
    const Record& record = record_of_expr(operand);
    if (!record) return {};
    records.push_back(record);
  }
  return std::make_shared<RecordNode>(std::move(name), std::move(records));
}

std::optional<Operand> to_operand(PyObject* object) {
  Operand operand;
  if (is_expr(object)) {
    operand.expr_ = &expr_of(object);
    return operand;
  }
  if (const std::optional<double> number = to_number(object)) {
    operand.constant_ = make_const(*number);
    return operand;
  }
  set_error(PyExc_TypeError, "expected Expr or numeric value");
  return std::nullopt;
}

}  // namespace bmx::py
