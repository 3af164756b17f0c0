// Reductions of NumPy arrays, read in place in their memory order: whole
// arrays, and rows of equal length.
#include "py_reduce.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>

#include "arg_binder.h"
#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/reduce.h"
#include "eval/reduce_integer.h"
#include "method_table.h"
#include "module_names.h"
#include "operand.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// The reductions the package calls by name; `_reduce` takes a position in this table.
constexpr Named<ReduceOp> kReductions[] = {{"sum", ReduceOp::Sum},
                                          {"mean", ReduceOp::Mean},
                                          {"min", ReduceOp::Min},
                                          {"max", ReduceOp::Max},
                                          {"prod", ReduceOp::Prod}};

/// The values of `object`, a plain, aligned, contiguous float64 array, in
/// memory order, held through `view`; nullopt with the conversion error set
/// for anything else.
std::optional<std::span<const double>> borrow_values(PyObject* object, BufferView& view) {
  const Classified operand = classify(object);
  const ArrayOperand* array = as_array(operand);
  if (array == nullptr || !is_readable_f64(*array) || array->layouts == 0) {
    raise_conversion_error(object, "aligned, contiguous float64 ndarray");
    return std::nullopt;
  }
  if (!view.acquire(object, PyBUF_ANY_CONTIGUOUS)) return std::nullopt;
  return std::span<const double>(static_cast<const double*>(view.data()), array->size());
}

/// `reduce` of the values of argument 0 (see borrow_values), computed
/// without the lock, as the Python object `to_python` makes of it.
template <class Reduce, class ToPython>
PyObject* reduce_array(const BoundArgs& args, const Reduce& reduce, const ToPython& to_python) {
  BufferView view;
  const std::optional<std::span<const double>> values = borrow_values(args[0], view);
  if (!values) return argument_error(args, 0);
  const auto reduced = without_gil([&] { return reduce(*values); });
  if (!reduced.ok()) return raise_task_error(reduced.error());
  return expect_object(to_python(reduced.value()));
}

// _reduce(array, op): reduction `op` (a position in _REDUCTIONS) of the array.
PyObject* reduce_impl(PyObject*, const BoundArgs& args) {
  // The op first: its conversion may run Python code, which could change
  // the array between its check and its view.
  const std::optional<ReduceOp> op = named_code(args, 1, kReductions, "unknown reduction");
  if (!op) return nullptr;
  return reduce_array(
      args, [&](std::span<const double> values) { return reduce_values(values, *op); }, PyFloat_FromDouble);
}

// _reduce_min_max(array): the minimum and the maximum of the array, as
// _reduce gives each, in one pass over its memory.
PyObject* reduce_min_max_impl(PyObject*, const BoundArgs& args) {
  return reduce_array(args, reduce_min_max,
                      [](const Extremes& both) { return Py_BuildValue("(dd)", both.least, both.greatest); });
}

// _reduce_rows(values, op, out): each row of `values` (out.size rows of equal
// length, in memory order) reduced by `op` into the element of `out` of its
// index.
PyObject* reduce_rows_impl(PyObject*, const BoundArgs& args) {
  const std::optional<ReduceOp> op = named_code(args, 1, kReductions, "unknown reduction");
  if (!op) return nullptr;
  BufferView values_view;
  const std::optional<std::span<const double>> values = borrow_values(args[0], values_view);
  if (!values) return argument_error(args, 0);
  BufferView out_view;
  const std::optional<std::span<double>> out = borrow_row_results(args, 2, values->size(), std::as_bytes(*values), out_view);
  if (!out) return nullptr;
  const Result<void> reduced = without_gil([&] { return reduce_rows(*values, *out, *op); });
  if (!reduced.ok()) return raise_task_error(reduced.error());
  Py_RETURN_NONE;
}

// _reduce_integer_rows(values, op, out): as _reduce_rows, for C-contiguous
// bool or integer values, into int64 (bool, signed) or uint64 (unsigned).
PyObject* reduce_integer_rows_impl(PyObject*, const BoundArgs& args) {
  const std::optional<ReduceOp> op = named_code(args, 1, kReductions, "unknown reduction");
  if (!op) return nullptr;
  if (*op == ReduceOp::Mean) return set_error(PyExc_ValueError, "no integer mean");
  const Classified values_classified = classify(args[0]);
  const ArrayOperand* values = as_array(values_classified);
  const bool integer = values != nullptr && values->element.type <= ElementType::UInt64;
  if (!integer || !values->aligned || (values->layouts & kNpyArrayCContiguous) == 0) {
    raise_conversion_error(args[0], "aligned, C-contiguous bool or integer ndarray");
    return argument_error(args, 0);
  }
  const Classified out_classified = classify(args[2]);
  const ArrayOperand* out = as_array(out_classified);
  const bool is_unsigned = values->element.type >= ElementType::UInt8;
  const ElementType wide = is_unsigned ? ElementType::UInt64 : ElementType::Int64;
  if (out == nullptr || out->element.type != wide || !out->writable || !out->aligned ||
      (out->layouts & kNpyArrayCContiguous) == 0) {
    raise_conversion_error(args[2], is_unsigned ? "writable, C-contiguous uint64 ndarray" : "writable, C-contiguous int64 ndarray");
    return argument_error(args, 2);
  }
  const std::size_t rows = out->size();
  const std::size_t count = values->size();
  if (rows == 0 ? count != 0 : count % rows != 0) {
    return set_error(PyExc_ValueError, "the values do not split into one row per element of out");
  }
  const std::size_t columns = rows == 0 ? 0 : count / rows;
  if (columns == 0 && rows != 0 && (*op == ReduceOp::Min || *op == ReduceOp::Max)) {
    return set_error(PyExc_ValueError, "no minimum or maximum of an empty row");
  }
  BufferView values_view;
  BufferView out_view;
  if (!values_view.acquire(args[0], PyBUF_C_CONTIGUOUS) ||
      !out_view.acquire(args[2], PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
    return nullptr;
  }
  const ElementType type = values->element.type;
  without_gil([&] { reduce_integer_rows(values_view.data(), type, rows, columns, *op, out_view.data()); });
  Py_RETURN_NONE;
}

using enum ParamKind;
constexpr Param kReduceParams[] = {{"array", Required}, {"op", Required}};
constexpr Param kReduceMinMaxParams[] = {{"array", Required}};
constexpr Param kReduceRowsParams[] = {{"values", Required}, {"op", Required}, {"out", Required}};

constexpr Method kReduceFunctions[] = {
    {"_reduce", kReduceParams, "Reduce a contiguous float64 array in place by the reduction _REDUCTIONS[op].",
     reduce_impl},
    {"_reduce_min_max", kReduceMinMaxParams,
     "The minimum and the maximum of a contiguous float64 array, as _reduce gives each, in one pass.",
     reduce_min_max_impl},
    {"_reduce_rows", kReduceRowsParams,
     "Reduce each row of a contiguous float64 array by _REDUCTIONS[op] into the element of `out` of its index.",
     reduce_rows_impl},
    {"_reduce_integer_rows", kReduceRowsParams,
     "Reduce each row of a C-contiguous bool or integer array by _REDUCTIONS[op] (not mean), exactly in 64 bits,\n"
     "into the int64 (uint64 for unsigned data) element of `out` of its index.",
     reduce_integer_rows_impl},
};

}  // namespace

std::optional<std::span<double>> borrow_row_results(const BoundArgs& args, std::size_t index, std::size_t count,
                                                   std::span<const std::byte> values, BufferView& view) {
  const Classified classified = classify(args[index]);
  const ArrayOperand* out_array = as_array(classified);
  if (out_array == nullptr || !is_readable_f64(*out_array) || !out_array->writable || out_array->layouts == 0) {
    raise_conversion_error(args[index], "writable, aligned, contiguous float64 ndarray");
    argument_error(args, index);
    return std::nullopt;
  }
  if (!view.acquire(args[index], PyBUF_ANY_CONTIGUOUS | PyBUF_WRITABLE)) return std::nullopt;
  const std::span<double> out(static_cast<double*>(view.data()), out_array->size());
  if (out.empty() ? count != 0 : count % out.size() != 0) {
    set_error(PyExc_ValueError, "the values do not split into one row per element of out");
    return std::nullopt;
  }
  const auto* const out_bytes = reinterpret_cast<const std::byte*>(out.data());
  if (!out.empty() && !values.empty() && out_bytes < values.data() + values.size() &&
      values.data() < out_bytes + out.size_bytes()) {
    set_error(PyExc_ValueError, "out overlaps the values");
    return std::nullopt;
  }
  return out;
}

namespace {

bool add_reduction_names(PyObject* module) {
  return add_names(module, "_REDUCTIONS", kReductions);
}

}  // namespace

const ModulePart kReducePart{method_defs<kReduceFunctions>, add_reduction_names};

}  // namespace bmx::py
