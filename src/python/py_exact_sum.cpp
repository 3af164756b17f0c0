// Exact sums of NumPy arrays. A sum in progress is a state: a C-contiguous
// int64 array of _EXACT_SUM_WORDS words, all zero when empty, which crosses
// processes as any array does.
#include "py_exact_sum.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/exact_reduce.h"
#include "method_table.h"
#include "module_names.h"
#include "operand.h"
#include "py_evaluate.h"
#include "py_reduce.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// The formats a sum rounds to; the entry points take a position in this table.
constexpr Named<SumFormat> kFormats[] = {
    {"float16", SumFormat::Float16}, {"float32", SumFormat::Float32}, {"float64", SumFormat::Float64}};

/// The words of argument `index`, a plain, aligned, C-contiguous int64 array
/// of ExactSum::kStateWords elements (writable when `writable`), held through
/// `view`; nullopt with the argument's error set for anything else.
std::optional<std::span<std::int64_t>> borrow_state(const BoundArgs& args, std::size_t index, bool writable,
                                                    BufferView& view) {
  const Classified classified = classify(args[index]);
  const ArrayOperand* array = as_array(classified);
  if (array == nullptr || !array->plain || !array->aligned || array->element.type != ElementType::Int64 ||
      (array->layouts & kNpyArrayCContiguous) == 0 || (writable && !array->writable) ||
      array->size() != ExactSum::kStateWords) {
    raise_conversion_error(args[index], writable ? "writable exact sum state" : "exact sum state");
    argument_error(args, index);
    return std::nullopt;
  }
  if (!view.acquire(args[index], writable ? PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE : PyBUF_C_CONTIGUOUS)) {
    return std::nullopt;
  }
  return std::span<std::int64_t>(static_cast<std::int64_t*>(view.data()), ExactSum::kStateWords);
}

/// The values a sum adds: float64 or float32.
using SumValues = std::variant<std::span<const double>, std::span<const float>>;

/// The values of argument `index`, a plain, aligned, contiguous float64 or
/// float32 array, in memory order, held through `view`; nullopt with the
/// argument's error set for anything else.
std::optional<SumValues> borrow_sum_values(const BoundArgs& args, std::size_t index, BufferView& view) {
  const Classified classified = classify(args[index]);
  const ArrayOperand* array = as_array(classified);
  const bool float32 = array != nullptr && array->element.type == ElementType::Float32;
  if (array == nullptr || !array->plain || !array->aligned || array->layouts == 0 ||
      (array->element.type != ElementType::Float64 && !float32)) {
    raise_conversion_error(args[index], "aligned, contiguous float64 or float32 ndarray");
    argument_error(args, index);
    return std::nullopt;
  }
  if (!view.acquire(args[index], PyBUF_ANY_CONTIGUOUS)) return std::nullopt;
  if (float32) return std::span<const float>(static_cast<const float*>(view.data()), array->size());
  return std::span<const double>(static_cast<const double*>(view.data()), array->size());
}

ExactSum::State to_state(std::span<const std::int64_t> words) {
  ExactSum::State state{};
  std::copy(words.begin(), words.end(), state.begin());
  return state;
}

/// Runs `add` on the sum the state `words` holds, then writes the sum back
/// into them.
template <class Add>
void add_to_state(std::span<std::int64_t> words, const Add& add) {
  ExactSum sum(to_state(words));
  add(sum);
  const ExactSum::State state = sum.state();
  std::copy(state.begin(), state.end(), words.begin());
}

/// The sums of a table's rows or of its columns.
enum class Table : std::uint8_t { Rows, Columns };

// _exact_sum_rows(values, format, out) and _exact_sum_columns(values, format,
// out): each row's (or column's) exact sum, rounded once to
// _SUM_FORMATS[format], into the element of `out` of its index.
template <Table kTable>
PyObject* exact_sum_table_impl(PyObject*, const BoundArgs& args) {
  const std::optional<SumFormat> format = named_code(args, 1, kFormats, "unknown sum format");
  if (!format) return nullptr;
  BufferView values_view;
  const std::optional<SumValues> values = borrow_sum_values(args, 0, values_view);
  if (!values) return nullptr;
  const auto [count, bytes] = std::visit([](auto span) { return std::pair(span.size(), std::as_bytes(span)); }, *values);
  BufferView out_view;
  const std::optional<std::span<double>> out = borrow_row_results(args, 2, count, bytes, out_view);
  if (!out) return nullptr;
  without_gil([&] {
    std::visit(
        [&](auto span) {
          if constexpr (kTable == Table::Rows) {
            exact_sum_rows(span, *out, *format);
          } else {
            exact_sum_columns(span, *out, *format);
          }
        },
        *values);
  });
  Py_RETURN_NONE;
}

/// The values added on the pool, without the lock: they may be many.
void add_values(std::span<std::int64_t> words, const SumValues& values) {
  without_gil([&] {
    add_to_state(words, [&](ExactSum& sum) { std::visit([&](auto span) { add_on_pool(sum, span); }, values); });
  });
}

/// The state of argument `index`, read only.
std::optional<std::span<std::int64_t>> borrow_other_state(const BoundArgs& args, std::size_t index, BufferView& view) {
  return borrow_state(args, index, false, view);
}

/// The sum the state `other` holds, added with the lock held: a state is
/// a few words.
void merge_state(std::span<std::int64_t> words, std::span<const std::int64_t> other) {
  add_to_state(words, [&](ExactSum& sum) { sum.merge(ExactSum(to_state(other))); });
}

// _exact_sum_add(state, values) and _exact_sum_merge(state, other): adds the
// values, or the sum the state `other` holds, to the state, in place.
template <auto borrow_addend, auto add>
PyObject* add_to_state_impl(PyObject*, const BoundArgs& args) {
  BufferView state_view;
  const std::optional<std::span<std::int64_t>> words = borrow_state(args, 0, true, state_view);
  if (!words) return nullptr;
  BufferView addend_view;
  const auto addend = borrow_addend(args, 1, addend_view);
  if (!addend) return nullptr;
  add(*words, *addend);
  Py_RETURN_NONE;
}

/// A kernel's operands read where they lie: numbers, and float64 arrays of
/// one shape, all contiguous in one layout.
struct KernelOperands {
  std::vector<SlotSource> sources;
  std::vector<BufferView> views;
  std::size_t n = 0;
};

/// The operands as the engine reads them, or nullopt when they are not ready
/// to be read in place: in C order when `c_order`, else in any order that is
/// the same for all of them.
std::optional<KernelOperands> read_kernel_operands(std::span<PyObject* const> operands, bool c_order) {
  std::optional<Float64Operands> found = read_float64_operands(
      operands, std::nullopt, c_order ? kNpyArrayCContiguous : kNpyArrayCContiguous | kNpyArrayFContiguous);
  if (!found || !found->shape || found->layouts == 0) return std::nullopt;
  const std::vector<std::optional<ArrayOperand>>& arrays = found->arrays;
  KernelOperands read{std::move(found->sources), std::vector<BufferView>(operands.size()), found->shape->size()};
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    if (!arrays[slot]) continue;
    if (!read.views[slot].acquire(operands[slot], PyBUF_ANY_CONTIGUOUS)) return std::nullopt;
    read.sources[slot].values = static_cast<const double*>(read.views[slot].data());
  }
  return read;
}

// _exact_sum_kernel(kernel, operands, state): adds the kernel's values over
// the operands to the state, in place, holding no more than a few blocks of
// them at a time; False (with the state untouched) when the operands are not
// ready to be read in place.
PyObject* exact_sum_kernel_impl(PyObject*, const BoundArgs& args) {
  const auto kernel = payload_and_items<CompiledKernelRef>(args, compiled_kernel_type());
  if (!kernel) return nullptr;
  BufferView state_view;
  const std::optional<std::span<std::int64_t>> words = borrow_state(args, 2, true, state_view);
  if (!words) return nullptr;
  std::optional<KernelOperands> operands = read_kernel_operands(kernel->second, false);
  if (!operands) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_FALSE;
  }
  const CompiledKernel& compiled = **kernel->first;
  without_gil([&] {
    add_to_state(*words, [&](ExactSum& sum) { add_kernel_on_pool(sum, compiled, operands->sources, operands->n); });
  });
  Py_RETURN_TRUE;
}

// _exact_sum_kernel_rows(kernel, operands, format, out): the exact sum of
// each row of the kernel's values over the operands in C order (out.size rows
// of equal length), rounded once to _SUM_FORMATS[format], into the element
// of `out` of its index; False (with `out` untouched) when the operands are
// not ready to be read in place.
PyObject* exact_sum_kernel_rows_impl(PyObject*, const BoundArgs& args) {
  const auto kernel = payload_and_items<CompiledKernelRef>(args, compiled_kernel_type());
  if (!kernel) return nullptr;
  const std::optional<SumFormat> format = named_code(args, 2, kFormats, "unknown sum format");
  if (!format) return nullptr;
  std::optional<KernelOperands> operands = read_kernel_operands(kernel->second, true);
  if (!operands) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_FALSE;
  }
  BufferView out_view;
  const std::optional<std::span<double>> out = borrow_row_results(args, 3, operands->n, {}, out_view);
  if (!out) return nullptr;
  const std::span<const std::byte> out_bytes = std::as_bytes(*out);
  for (const SlotSource& source : operands->sources) {
    if (source.values == nullptr) continue;
    const std::span<const std::byte> bytes = std::as_bytes(std::span(source.values, operands->n));
    if (!out_bytes.empty() && !bytes.empty() && out_bytes.data() < bytes.data() + bytes.size() &&
        bytes.data() < out_bytes.data() + out_bytes.size()) {
      return set_error(PyExc_ValueError, "out overlaps the values");
    }
  }
  const CompiledKernel& compiled = **kernel->first;
  without_gil([&] { exact_sum_kernel_rows(compiled, operands->sources, operands->n, *out, *format); });
  Py_RETURN_TRUE;
}

// _exact_sum_round(state, format): the state's sum rounded once to
// _SUM_FORMATS[format], and the count of values that went into it.
PyObject* exact_sum_round_impl(PyObject*, const BoundArgs& args) {
  const std::optional<SumFormat> format = named_code(args, 1, kFormats, "unknown sum format");
  if (!format) return nullptr;
  BufferView view;
  const std::optional<std::span<std::int64_t>> words = borrow_state(args, 0, false, view);
  if (!words) return nullptr;
  const ExactSum sum(to_state(*words));
  return expect_object(Py_BuildValue("(dK)", sum.round_as(*format), static_cast<unsigned long long>(sum.count())));
}

using enum ParamKind;
constexpr Param kRowsParams[] = {{"values", Required}, {"format", Required}, {"out", Required}};
constexpr Param kAddParams[] = {{"state", Required}, {"values", Required}};
constexpr Param kKernelParams[] = {{"kernel", Required}, {"operands", Required}, {"state", Required}};
constexpr Param kKernelRowsParams[] = {
    {"kernel", Required}, {"operands", Required}, {"format", Required}, {"out", Required}};
constexpr Param kMergeParams[] = {{"state", Required}, {"other", Required}};
constexpr Param kRoundParams[] = {{"state", Required}, {"format", Required}};

constexpr Method kExactSumFunctions[] = {
    {"_exact_sum_rows", kRowsParams,
     "The exact sum of each row of a contiguous float64 or float32 array, rounded once to _SUM_FORMATS[format],\n"
     "into the element of `out` of its index.",
     exact_sum_table_impl<Table::Rows>},
    {"_exact_sum_columns", kRowsParams,
     "The exact sum of each column of a contiguous float64 or float32 array of rows of out.size values one after another,\n"
     "rounded once to _SUM_FORMATS[format], into the element of `out` of its index.",
     exact_sum_table_impl<Table::Columns>},
    {"_exact_sum_add", kAddParams, "Add a contiguous float64 or float32 array's values to an exact sum state, in place.",
     add_to_state_impl<borrow_sum_values, add_values>},
    {"_exact_sum_kernel", kKernelParams,
     "Add a compiled kernel's values over float64 arrays and floats to an exact sum state, in place.\n"
     "Returns False (adding nothing) when the operands cannot be read in place as they are.",
     exact_sum_kernel_impl},
    {"_exact_sum_kernel_rows", kKernelRowsParams,
     "The exact sum of each row of a compiled kernel's values over float64 arrays in C order and floats, rounded once\n"
     "to _SUM_FORMATS[format], into the element of `out` of its index.\n"
     "Returns False (writing nothing) when the operands cannot be read in place as they are.",
     exact_sum_kernel_rows_impl},
    {"_exact_sum_merge", kMergeParams, "Add the sum the state `other` holds to `state`, in place.",
     add_to_state_impl<borrow_other_state, merge_state>},
    {"_exact_sum_round", kRoundParams, "The sum a state holds, rounded once to _SUM_FORMATS[format], and its count of values.",
     exact_sum_round_impl},
};

bool add_exact_sum_names(PyObject* module) {
  const PyRef words = PyRef::steal(PyLong_FromSize_t(ExactSum::kStateWords));
  return words && PyObject_SetAttrString(module, "_EXACT_SUM_WORDS", words.get()) == 0 &&
         add_names(module, "_SUM_FORMATS", kFormats);
}

}  // namespace

const ModulePart kExactSumPart{method_defs<kExactSumFunctions>, add_exact_sum_names};

}  // namespace bmx::py
