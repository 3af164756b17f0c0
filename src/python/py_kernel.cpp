// _KernelModule: the factories of expressions, kernels, maps and reductions.
#include "py_kernel.h"

#include <memory>
#include <string>
#include <vector>

#include "arg_binder.h"
#include "convert.h"
#include "py_buffer.h"
#include "py_expr.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

using enum ParamKind;

// An argument Expr, recorded as ("arg", name).
PyObject* new_arg(std::string name) {
  PyRef record = PyRef::steal(expect_object(PyTuple_New(2)));
  PyTuple_SET_ITEM(record.get(), 0, new_text("arg"));
  PyTuple_SET_ITEM(record.get(), 1, new_text(name));
  return wrap_expr(make_arg(std::move(name)), std::make_shared<RecordNode>(std::move(record), std::vector<Record>{}));
}

PyObject* arg_impl(PyObject*, const BoundArgs& bound) {
  std::string name;
  if (!to_text(bound[0], name)) return argument_error(bound, 0);
  return new_arg(std::move(name));
}

PyObject* args_impl(PyObject*, const BoundArgs& bound) {
  // Every name is converted before the first id is drawn, so a bad name wastes none.
  std::vector<std::string> names;
  for (PyObject* value : bound.var_positional()) {
    std::string name;
    if (!to_text(value, name)) return argument_error(bound, 0);
    names.push_back(std::move(name));
  }
  PyRef list = PyRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(names.size()))));
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_arg(std::move(names[i])));
  }
  return list.release();
}

PyObject* elementwise_impl(PyObject*, const BoundArgs& bound) {
  const Expr* expr = unwrap_expr(bound[0]);
  if (expr == nullptr) return argument_error(bound, 0);
  Result<KernelSpec> spec = elementwise(*expr);
  if (!spec.ok()) return raise_refusal(spec.error());
  return make_instance(kernel_spec_type().get(), std::move(spec).value());
}

// A binding value: a Buffer, else an integer or a float as a scalar.
std::optional<ArgSlot> to_binding(PyObject* value) {
  if (is_instance(value, buffer_type().get())) return ArgSlot(*unwrap_buffer(value));
  if (const std::optional<double> number = to_number(value)) return ArgSlot(*number);
  return std::nullopt;
}

PyObject* map_impl(PyObject*, const BoundArgs& bound) {
  const KernelSpec* spec = payload_of<KernelSpec>(bound[0], kernel_spec_type());
  if (spec == nullptr) return argument_error(bound, 0);
  MapContent content{*spec, {}};
  for (const KeywordArg& keyword : bound.var_keyword()) {
    std::string name;
    if (!to_text(keyword.name, name)) return nullptr;
    std::optional<ArgSlot> slot = to_binding(keyword.value);
    if (!slot) return set_error(PyExc_TypeError, "argument '" + name + "' must be Buffer or numeric");
    content.bindings.insert_or_assign(std::move(name), std::move(*slot));
  }
  return make_instance(map_spec_type().get(), std::move(content));
}

template <UnaryOp op>
PyObject* unary_impl(PyObject*, const BoundArgs& bound) {
  const Expr* expr = unwrap_expr(bound[0]);
  if (expr == nullptr) return argument_error(bound, 0);
  return wrap_expr(unary_expr(op, *expr));
}

template <BinaryOp op>
PyObject* binary_impl(PyObject*, const BoundArgs& bound) {
  const Expr* first = unwrap_expr(bound[0]);
  if (first == nullptr) return argument_error(bound, 0);
  const Expr* second = unwrap_expr(bound[1]);
  if (second == nullptr) return argument_error(bound, 1);
  return wrap_expr(binary_expr(op, *first, *second));
}

PyObject* where_impl(PyObject*, const BoundArgs& bound) {
  const Expr* cond = unwrap_expr(bound[0]);
  if (cond == nullptr) return argument_error(bound, 0);
  const std::optional<Operand> then_val = to_operand(bound[1]);
  if (!then_val) return nullptr;
  const std::optional<Operand> else_val = to_operand(bound[2]);
  if (!else_val) return nullptr;
  return wrap_expr(select_expr(*cond, then_val->get(), else_val->get()));
}

template <ReduceOp op>
PyObject* reduce_impl(PyObject*, const BoundArgs& bound) {
  const BufferRef* buffer = unwrap_buffer(bound[0]);
  if (buffer == nullptr) return argument_error(bound, 0);
  return make_instance(reduce_spec_type().get(), ReduceContent{*buffer, op});
}

constexpr Param kArgParams[] = {{"name", Required}};
constexpr Param kArgsParams[] = {{"names", VarPositional}};
constexpr Param kKernelExprParams[] = {{"expr", Required}};
constexpr Param kMapParams[] = {{"spec", Required}, {"kwargs", VarKeyword}};
constexpr Param kPowParams[] = {{"base", Required}, {"exp", Required}};
constexpr Param kAtan2Params[] = {{"y", Required}, {"x", Required}};
constexpr Param kKernelMinMaxParams[] = {{"a", Required}, {"b", Required}};
constexpr Param kWhereParams[] = {{"cond", Required}, {"true_val", Required}, {"false_val", Required}};
constexpr Param kBufParams[] = {{"buf", Required}};

// Registered in this order.
constexpr Method kKernelMethods[] = {
    {"arg", kArgParams, "Create a single named argument expression.", arg_impl},
    {"args", kArgsParams, "Create multiple named argument expressions.", args_impl},
    {"elementwise", kKernelExprParams,
     "Create an elementwise kernel from an expression.\n"
     "Performs dense reindexing: `temp_ids` are mapped to 0, 1, 2, ... in sorted order.",
     elementwise_impl},
    {"map", kMapParams, "Map a kernel spec over named arguments, returning a `MapSpec` for `rt.go()`.", map_impl},
    {"sqrt", kKernelExprParams, "", unary_impl<UnaryOp::Sqrt>},
    {"abs", kKernelExprParams, "", unary_impl<UnaryOp::Abs>},
    {"log", kKernelExprParams, "", unary_impl<UnaryOp::Log>},
    {"exp", kKernelExprParams, "", unary_impl<UnaryOp::Exp>},
    {"log2", kKernelExprParams, "", unary_impl<UnaryOp::Log2>},
    {"log10", kKernelExprParams, "", unary_impl<UnaryOp::Log10>},
    {"floor", kKernelExprParams, "", unary_impl<UnaryOp::Floor>},
    {"ceil", kKernelExprParams, "", unary_impl<UnaryOp::Ceil>},
    {"round", kKernelExprParams, "", unary_impl<UnaryOp::Round>},
    {"sin", kKernelExprParams, "", unary_impl<UnaryOp::Sin>},
    {"cos", kKernelExprParams, "", unary_impl<UnaryOp::Cos>},
    {"tan", kKernelExprParams, "", unary_impl<UnaryOp::Tan>},
    {"pow", kPowParams, "", binary_impl<BinaryOp::Pow>},
    {"atan2", kAtan2Params, "", binary_impl<BinaryOp::Atan2>},
    {"min", kKernelMinMaxParams, "", binary_impl<BinaryOp::Min>},
    {"max", kKernelMinMaxParams, "", binary_impl<BinaryOp::Max>},
    {"where_", kWhereParams, "Conditional select: `where(cond, true_val, false_val)`.", where_impl},
    {"sum", kBufParams, "", reduce_impl<ReduceOp::Sum>},
    {"mean", kBufParams, "", reduce_impl<ReduceOp::Mean>},
    {"min_reduce", kBufParams, "", reduce_impl<ReduceOp::Min>},
    {"max_reduce", kBufParams, "", reduce_impl<ReduceOp::Max>},
};

constexpr ClassDef kModuleClass{
    .name = "_KernelModule",
    .doc = "The kernel module exposed to Python.\n"
           "Contains factory functions for creating expressions and kernel specs.",
    .methods = kKernelMethods,
    .init = new_plain,
};

// The value classes: no constructor, no methods, one payload each.
constexpr ClassDef kKernelSpecClass{.name = "KernelSpec", .doc = "Python-visible kernel specification."};
constexpr ClassDef kMapSpecClass{.name = "MapSpec", .doc = "Specification for mapping a kernel over arguments."};
constexpr ClassDef kReduceSpecClass{.name = "ReduceSpec", .doc = "Specification for a reduce operation."};

}  // namespace

LazyType& kernel_module_type() { return lazy_type<kModuleClass>(); }
LazyType& kernel_spec_type() { return lazy_type<kKernelSpecClass, KernelSpec>(); }
LazyType& map_spec_type() { return lazy_type<kMapSpecClass, MapContent>(); }
LazyType& reduce_spec_type() { return lazy_type<kReduceSpecClass, ReduceContent>(); }

const MapContent* as_map_spec(PyObject* object) {
  return is_instance(object, map_spec_type().get()) ? &payload<MapContent>(object) : nullptr;
}

const ReduceContent* as_reduce_spec(PyObject* object) {
  return is_instance(object, reduce_spec_type().get()) ? &payload<ReduceContent>(object) : nullptr;
}

}  // namespace bmx::py
