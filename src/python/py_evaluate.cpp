// The package's private entry points for kernels over NumPy memory.
//
// Arrays are borrowed, never copied: each call holds a buffer-protocol view of
// every array it reads or writes for its whole duration, releases the
// interpreter lock only around the engine call, and lets the engine write the
// result straight into the output array. Anything that would need a copy or a
// conversion (other dtypes, mixed layouts, broadcasting, partial overlap with
// the output) is left to the package, which arranges the operands and calls
// again.
#include "py_evaluate.h"

#include <algorithm>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/element_cost.h"
#include "eval/evaluate.h"
#include "eval/slots.h"
#include "ir/kernel_cache.h"
#include "method_table.h"
#include "numpy_api.h"
#include "operand.h"
#include "pool/pool.h"
#include "py_class.h"
#include "py_kernel.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr ClassDef kCompiledKernelClass{
    .name = "_CompiledKernel",
    .doc = "A kernel compiled by the process-wide cache, for _evaluate_into.",
};

PyObject* compile_impl(PyObject*, const BoundArgs& args) {
  const KernelSpec* spec = payload_of<KernelSpec>(args[0], kernel_spec_type());
  if (spec == nullptr) return argument_error(args, 0);
  CompiledKernelRef compiled = KernelCache::global().get_or_compile(spec->tree);
  return make_instance(compiled_kernel_type().get(), std::move(compiled));
}

// The package's kernels own their compiled form, so that it goes with them:
// the process-wide cache never lets go of what it holds.
PyObject* compile_uncached_impl(PyObject*, const BoundArgs& args) {
  const KernelSpec* spec = payload_of<KernelSpec>(args[0], kernel_spec_type());
  if (spec == nullptr) return argument_error(args, 0);
  CompiledKernelRef compiled = std::make_shared<const CompiledKernel>(compile_kernel(spec->tree));
  return make_instance(compiled_kernel_type().get(), std::move(compiled));
}

}  // namespace

std::optional<Float64Operands> read_float64_operands(std::span<PyObject* const> operands,
                                                     std::optional<ArrayOperand> shape, int layouts) {
  Float64Operands read{std::vector<SlotSource>(operands.size()),
                       std::vector<std::optional<ArrayOperand>>(operands.size()), shape, layouts};
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    const Classified operand = classify(operands[slot]);
    if (const double* scalar = std::get_if<double>(&operand)) {
      read.sources[slot] = SlotSource{nullptr, *scalar};
      continue;
    }
    const ArrayOperand* array = as_array(operand);
    if (array == nullptr || !is_readable_f64(*array)) return std::nullopt;
    if (read.shape && !std::ranges::equal(array->shape, read.shape->shape)) return std::nullopt;
    read.arrays[slot] = *array;
    if (!read.shape) read.shape = *array;
    read.layouts &= array->layouts;
  }
  return read;
}

LazyType& compiled_kernel_type() { return lazy_type<kCompiledKernelClass, CompiledKernelRef>(); }

std::optional<PreparedEvaluation> prepare_evaluation(const BoundArgs& args, bool runs_here) {
  const auto read = payload_and_items<CompiledKernelRef>(args, compiled_kernel_type());
  if (!read) return std::nullopt;
  return prepare_evaluation(*read->first, read->second, args[2], runs_here);
}

std::optional<PreparedEvaluation> prepare_evaluation(const CompiledKernelRef& kernel,
                                                     std::span<PyObject* const> operands, PyObject* out_object,
                                                     bool runs_here) {

  // Pass 1: every operand a number or a float64 array, all arrays of one
  // shape and contiguous in one layout (the output's, when there is one).
  std::optional<ArrayOperand> out;
  int layouts = kNpyArrayCContiguous | kNpyArrayFContiguous;
  if (out_object != Py_None) {
    const Classified classified = classify(out_object);
    const ArrayOperand* array = as_array(classified);
    if (array == nullptr || !is_readable_f64(*array) || !array->writable || array->layouts == 0) return std::nullopt;
    out = *array;
    layouts = (array->layouts & kNpyArrayCContiguous) != 0 ? kNpyArrayCContiguous : kNpyArrayFContiguous;
  }
  std::optional<Float64Operands> read = read_float64_operands(operands, out, layouts);
  if (!read) return std::nullopt;
  PreparedEvaluation prepared{kernel, std::move(read->sources), {}, {}, {}};
  std::vector<SlotSource>& sources = prepared.sources;
  const std::vector<std::optional<ArrayOperand>>& arrays = read->arrays;
  const bool any_array = std::ranges::any_of(arrays, [](const auto& array) { return array.has_value(); });
  // Numbers alone make a 0-d result, which only a 0-d output can take.
  if (!read->shape || (!any_array && !read->shape->shape.empty())) return std::nullopt;
  layouts = read->layouts;
  if (layouts == 0) return std::nullopt;
  const ArrayOperand* shape = &*read->shape;
  const std::size_t n = shape->size();
  if (out) {
    for (const std::optional<ArrayOperand>& array : arrays) {
      if (array && array->overlaps_partly(*out)) return std::nullopt;
    }
  }

  // Pass 2: the output and the views.
  prepared.result = PyRef::borrow(out_object);
  if (!out) {
    const bool fortran = (layouts & kNpyArrayCContiguous) == 0;
    prepared.result =
        PyRef::steal(new_f64_array(static_cast<int>(shape->shape.size()), shape->shape.data(), fortran));
  }
  if (n == 0) return prepared;
  // A new output array is this call's alone; a caller's is held by a view.
  double* target_data = reinterpret_cast<double*>(reinterpret_cast<NumpyArrayFields*>(prepared.result.get())->data);
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    if (arrays[slot]) sources[slot].values = reinterpret_cast<const double*>(arrays[slot]->data);
  }
  // An evaluation this thread runs keeping the lock needs no views: no
  // Python code runs before it ends, to move or free the memory it reads.
  if (runs_here && keeps_lock(n, element_cost(*kernel))) {
    if (out) target_data = reinterpret_cast<double*>(out->data);
    prepared.target = std::span<double>(target_data, n);
    return prepared;
  }
  prepared.views = std::vector<BufferView>(operands.size() + 1);
  if (out) {
    BufferView& out_view = prepared.views.back();
    if (!out_view.acquire(prepared.result.get(), PyBUF_WRITABLE | PyBUF_ANY_CONTIGUOUS)) return std::nullopt;
    target_data = static_cast<double*>(out_view.data());
  }
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    if (!arrays[slot]) continue;
    if (!prepared.views[slot].acquire(operands[slot], PyBUF_ANY_CONTIGUOUS)) return std::nullopt;
    sources[slot].values = static_cast<const double*>(prepared.views[slot].data());
  }
  prepared.target = std::span<double>(target_data, n);
  return prepared;
}

PyObject* run_evaluation(PreparedEvaluation& prepared) {
  const CompiledKernel& compiled = *prepared.compiled;
  const std::span<const SlotSource> sources = prepared.sources;
  const std::span<double> target = prepared.target;
  // Made ready to keep the lock, it holds no views that would keep the
  // memory it reads where it is without it.
  if (prepared.views.empty()) {
    evaluate_into(compiled, sources, target);
  } else {
    without_gil([&] { evaluate_into(compiled, sources, target); });
  }
  return prepared.result.release();
}

namespace {

// _evaluate_into(kernel, operands, out): None when the operands are not
// ready to be read in place (nothing is written then), else the output array
// (a new one when `out` is None) holding the kernel's values.
PyObject* evaluate_into_impl(PyObject*, const BoundArgs& args) {
  std::optional<PreparedEvaluation> prepared = prepare_evaluation(args, true);
  if (!prepared) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  return run_evaluation(*prepared);
}

PyObject* get_num_threads_impl(PyObject*, const BoundArgs&) {
  return expect_object(PyLong_FromSize_t(WorkPool::num_threads()));
}

PyObject* set_num_threads_impl(PyObject*, const BoundArgs& args) {
  const PyRef count = PyRef::steal(PyNumber_Index(args[0]));
  if (!count) return argument_error(args, 0);
  int beyond = 0;
  const long long value = PyLong_AsLongLongAndOverflow(count.get(), &beyond);
  if (value == -1 && PyErr_Occurred() != nullptr) return nullptr;
  if (beyond < 0 || (beyond == 0 && value < 1)) {
    return PyErr_Format(PyExc_ValueError, "the number of threads must be at least 1, not %S", count.get());
  }
  constexpr auto kMost = static_cast<long long>(WorkPool::kMaxThreads);
  if (beyond > 0 || value > kMost) {
    return PyErr_Format(PyExc_ValueError, "the number of threads must be at most %lld, not %S", kMost, count.get());
  }
  // Starting (or ending) up to a thousand workers is no work for the lock to wait on.
  const std::size_t previous =
      without_gil([value] { return WorkPool::set_num_threads(static_cast<std::size_t>(value)); });
  return expect_object(PyLong_FromSize_t(previous));
}

using enum ParamKind;
constexpr Param kEvaluateCompileParams[] = {{"spec", Required}};
constexpr Param kEvaluateIntoParams[] = {{"kernel", Required}, {"operands", Required}, {"out", Required}};
constexpr Param kSetNumThreadsParams[] = {{"n", Required}};

constexpr Method kEvaluateFunctions[] = {
    {"_compile", kEvaluateCompileParams, "The compiled kernel of a KernelSpec, from the process-wide cache.", compile_impl},
    {"_compile_uncached", kEvaluateCompileParams, "The compiled kernel of a KernelSpec, compiled for the caller alone.",
     compile_uncached_impl},
    {"_evaluate_into", kEvaluateIntoParams,
     "Evaluate a compiled kernel over float64 arrays and floats into `out` (or a new array).\n"
     "Returns None when the operands cannot be read in place as they are.",
     evaluate_into_impl},
    {"_get_num_threads", {}, "The number of threads one evaluation may use.", get_num_threads_impl},
    {"_set_num_threads", kSetNumThreadsParams, "Set the number of threads; returns the previous one.",
     set_num_threads_impl},
};

bool add_thread_limit(PyObject* module) {
  const PyRef limit = PyRef::steal(PyLong_FromSize_t(WorkPool::kMaxThreads));
  return limit && PyObject_SetAttrString(module, "_MAX_THREADS", limit.get()) == 0;
}

}  // namespace

const ModulePart kEvaluatePart{method_defs<kEvaluateFunctions>, add_thread_limit};

}  // namespace bmx::py
