// The package's private entry points over NumPy memory.
//
// Arrays are borrowed, never copied: each call holds a buffer-protocol view of
// every array it reads or writes for its whole duration, releases the
// interpreter lock only around the engine call, and lets the engine write the
// result straight into the output array. Anything that would need a copy or a
// conversion (other dtypes, mixed layouts, broadcasting, partial overlap with
// the output) is left to the package, which arranges the operands and calls
// again.
#include "py_evaluate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/evaluate.h"
#include "eval/slots.h"
#include "eval/reduce.h"
#include "ir/kernel_cache.h"
#include "method_table.h"
#include "numpy_api.h"
#include "pool/pool.h"
#include "py_class.h"
#include "py_kernel.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// Evaluations shorter than this keep the interpreter lock: they run on this
/// thread (the pool takes only longer ones) in about the time that handing
/// the lock over and back would take.
constexpr std::size_t kKeepLockBelow = 4096;

/// The most threads one evaluation may use: as many as a CPU affinity mask
/// can name. Far more workers than CPUs only take turns, and a pool is
/// kept for the process once built.
constexpr std::uint64_t kMaxThreads = 1024;

constexpr ClassDef kCompiledKernelClass{
    .name = "_CompiledKernel",
    .doc = "A kernel compiled by the process-wide cache, for _evaluate_into.",
};

LazyType& compiled_kernel_type() { return lazy_type<kCompiledKernelClass, CompiledKernelRef>(); }

/// A NumPy float64 array whose data is aligned for doubles, or nullptr (no
/// error set) for anything else. Subclasses are left to the package: one may
/// export a buffer of its own (`__buffer__`) that is not the memory these
/// fields describe, or carry meaning beyond its data (a mask).
const NumpyArrayFields* as_f64_array(PyObject* object) {
  const NumpyApi& api = numpy_api();
  if (Py_TYPE(object) != api.array_type) return nullptr;
  const auto* array = reinterpret_cast<const NumpyArrayFields*>(object);
  if ((array->flags & kNpyArrayAligned) == 0 || !has_f64_dtype(*array)) return nullptr;
  return array;
}

/// The value of a Python float (or subclass, such as NumPy's float64) or int;
/// empty, with no error set, for anything else or an int beyond a double.
std::optional<double> as_scalar(PyObject* object) {
  if (PyFloat_Check(object)) return PyFloat_AS_DOUBLE(object);
  if (!PyLong_CheckExact(object)) return std::nullopt;
  const double value = PyLong_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return value;
}

bool same_shape(const NumpyArrayFields& a, const NumpyArrayFields& b) {
  if (a.nd != b.nd) return false;
  for (int axis = 0; axis < a.nd; ++axis) {
    if (a.dimensions[axis] != b.dimensions[axis]) return false;
  }
  return true;
}

std::size_t element_count(const NumpyArrayFields& array) {
  std::size_t count = 1;
  for (int axis = 0; axis < array.nd; ++axis) count *= static_cast<std::size_t>(array.dimensions[axis]);
  return count;
}

/// True when [a, a + bytes) and [b, b + bytes) overlap without being the same range.
bool overlaps_partly(const char* a, const char* b, std::size_t bytes) {
  if (a == b || bytes == 0) return false;
  return a < b + bytes && b < a + bytes;
}

PyObject* compile_impl(PyObject*, const BoundArgs& args) {
  const KernelSpec* spec = payload_of<KernelSpec>(args[0], kernel_spec_type());
  if (spec == nullptr) return argument_error("spec");
  CompiledKernelRef compiled = KernelCache::global().get_or_compile(spec->tree);
  return make_instance(compiled_kernel_type().get(), std::move(compiled));
}

// The package's kernels own their compiled form, so that it goes with them:
// the process-wide cache never lets go of what it holds.
PyObject* compile_uncached_impl(PyObject*, const BoundArgs& args) {
  const KernelSpec* spec = payload_of<KernelSpec>(args[0], kernel_spec_type());
  if (spec == nullptr) return argument_error("spec");
  CompiledKernelRef compiled = std::make_shared<const CompiledKernel>(compile_kernel(spec->tree));
  return make_instance(compiled_kernel_type().get(), std::move(compiled));
}

// _evaluate_into(kernel, operands, out): None when the operands are not
// ready to be read in place (nothing is written then), else the output array
// (a new one when `out` is None) holding the kernel's values.
PyObject* evaluate_into_impl(PyObject*, const BoundArgs& args) {
  const CompiledKernelRef* kernel = payload_of<CompiledKernelRef>(args[0], compiled_kernel_type());
  if (kernel == nullptr) return argument_error("kernel");
  const CompiledKernelRef compiled = *kernel;
  if (!PyTuple_Check(args[1])) {
    raise_conversion_error(args[1], "tuple");
    return argument_error("operands");
  }
  const std::span<PyObject* const> operands(&PyTuple_GET_ITEM(args[1], 0),
                                             static_cast<std::size_t>(PyTuple_GET_SIZE(args[1])));
  PyObject* const out_object = args[2];

  // Pass 1: every operand a number or a float64 array, all arrays of one
  // shape and contiguous in one layout (the output's, when there is one).
  const NumpyArrayFields* out = nullptr;
  int layouts = kNpyArrayCContiguous | kNpyArrayFContiguous;
  if (out_object != Py_None) {
    out = as_f64_array(out_object);
    if (out == nullptr || (out->flags & kNpyArrayWriteable) == 0) Py_RETURN_NONE;
    layouts = (out->flags & kNpyArrayCContiguous) != 0 ? kNpyArrayCContiguous : kNpyArrayFContiguous;
    if ((out->flags & layouts) == 0) Py_RETURN_NONE;
  }
  std::vector<SlotSource> sources(operands.size());
  std::vector<const NumpyArrayFields*> arrays(operands.size(), nullptr);
  const NumpyArrayFields* shape = out;
  bool any_array = false;
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    if (const std::optional<double> scalar = as_scalar(operands[slot])) {
      sources[slot] = SlotSource{nullptr, *scalar};
      continue;
    }
    const NumpyArrayFields* array = as_f64_array(operands[slot]);
    if (array == nullptr || (shape != nullptr && !same_shape(*array, *shape))) Py_RETURN_NONE;
    shape = shape == nullptr ? array : shape;
    layouts &= array->flags;
    arrays[slot] = array;
    any_array = true;
  }
  // Numbers alone make a 0-d result, which only a 0-d output can take.
  if (shape == nullptr || (!any_array && shape->nd != 0)) Py_RETURN_NONE;
  if ((layouts & (kNpyArrayCContiguous | kNpyArrayFContiguous)) == 0) Py_RETURN_NONE;
  const std::size_t n = element_count(*shape);
  if (out != nullptr) {
    for (const NumpyArrayFields* array : arrays) {
      if (array != nullptr && overlaps_partly(array->data, out->data, n * sizeof(double))) Py_RETURN_NONE;
    }
  }

  // Pass 2: the output, the views and the engine call.
  PyRef result = PyRef::borrow(out_object);
  if (out == nullptr) {
    const bool fortran = (layouts & kNpyArrayCContiguous) == 0;
    result = PyRef::steal(new_f64_array(shape->nd, shape->dimensions, fortran));
  }
  if (n == 0) return result.release();
  // A new output array is this call's alone; a caller's is held by a view.
  BufferView out_view;
  double* target_data = reinterpret_cast<double*>(reinterpret_cast<NumpyArrayFields*>(result.get())->data);
  if (out != nullptr) {
    if (!out_view.acquire(result.get(), PyBUF_WRITABLE | PyBUF_ANY_CONTIGUOUS)) return nullptr;
    target_data = static_cast<double*>(out_view.data());
  }
  const auto views = std::make_unique<BufferView[]>(operands.size());
  for (std::size_t slot = 0; slot < operands.size(); ++slot) {
    if (arrays[slot] == nullptr) continue;
    if (!views[slot].acquire(operands[slot], PyBUF_ANY_CONTIGUOUS)) return nullptr;
    sources[slot].values = static_cast<const double*>(views[slot].data());
  }
  const std::span<double> target(target_data, n);
  if (n < kKeepLockBelow) {
    evaluate_into(*compiled, sources, target);
  } else {
    without_gil([&] { evaluate_into(*compiled, sources, target); });
  }
  return result.release();
}

// _reduce(array, op): the reduction `op` (0 Sum, 1 Mean, 2 Min, 3 Max) of a
// contiguous float64 array, read in place in its memory order.
PyObject* reduce_impl(PyObject*, const BoundArgs& args) {
  // The op first: its conversion may run Python code, which could change
  // the array between its check and its view.
  std::uint64_t code = 0;
  if (!to_u64(args[1], code)) return argument_error("op");
  if (code > static_cast<std::uint64_t>(ReduceOp::Max)) return set_error(PyExc_ValueError, "unknown reduction");
  const NumpyArrayFields* array = as_f64_array(args[0]);
  if (array == nullptr || (array->flags & (kNpyArrayCContiguous | kNpyArrayFContiguous)) == 0) {
    raise_conversion_error(args[0], "aligned, contiguous float64 ndarray");
    return argument_error("array");
  }
  BufferView view;
  if (!view.acquire(args[0], PyBUF_ANY_CONTIGUOUS)) return nullptr;
  const std::span<const double> values(static_cast<const double*>(view.data()), element_count(*array));
  const auto op = static_cast<ReduceOp>(code);
  Result<double> reduced = without_gil([&] { return reduce_values(values, op); });
  if (!reduced.ok()) return raise_task_error(reduced.error());
  return expect_object(PyFloat_FromDouble(reduced.value()));
}

PyObject* get_num_threads_impl(PyObject*, const BoundArgs&) {
  return expect_object(PyLong_FromSize_t(WorkPool::num_threads()));
}

PyObject* set_num_threads_impl(PyObject*, const BoundArgs& args) {
  std::uint64_t count = 0;
  if (!to_u64(args[0], count)) return argument_error("n");
  if (count == 0) return set_error(PyExc_ValueError, "the number of threads must be at least 1");
  if (count > kMaxThreads) return set_error(PyExc_ValueError, "the number of threads must be at most 1024");
  return expect_object(PyLong_FromSize_t(WorkPool::set_num_threads(count)));
}

using enum ParamKind;
constexpr Param kCompileParams[] = {{"spec", Required}};
constexpr Param kEvaluateIntoParams[] = {{"kernel", Required}, {"operands", Required}, {"out", Required}};
constexpr Param kReduceParams[] = {{"array", Required}, {"op", Required}};
constexpr Param kSetNumThreadsParams[] = {{"n", Required}};

constexpr Method kFunctions[] = {
    {"_compile", kCompileParams, "The compiled kernel of a KernelSpec, from the process-wide cache.", compile_impl},
    {"_compile_uncached", kCompileParams, "The compiled kernel of a KernelSpec, compiled for the caller alone.",
     compile_uncached_impl},
    {"_evaluate_into", kEvaluateIntoParams,
     "Evaluate a compiled kernel over float64 arrays and floats into `out` (or a new array).\n"
     "Returns None when the operands cannot be read in place as they are.",
     evaluate_into_impl},
    {"_reduce", kReduceParams, "Reduce a contiguous float64 array in place: 0 sum, 1 mean, 2 min, 3 max.",
     reduce_impl},
    {"_get_num_threads", {}, "The number of threads one evaluation may use.", get_num_threads_impl},
    {"_set_num_threads", kSetNumThreadsParams, "Set the number of threads; returns the previous one.",
     set_num_threads_impl},
};

}  // namespace

PyMethodDef* evaluate_functions() { return method_defs<kFunctions>(); }

}  // namespace bmx::py
