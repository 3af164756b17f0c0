// _RuntimeModule: copying NumPy arrays in, submitting work, making channels.
#include "py_runtime.h"

#include <cstring>
#include <optional>
#include <string>

#include "arg_binder.h"
#include "convert.h"
#include "operand.h"
#include "py_buffer.h"
#include "py_channel.h"
#include "py_kernel.h"
#include "py_ref.h"
#include "py_task.h"
#include "runtime/submit.h"

namespace bmx::py {

namespace {

PyObject* asarray_impl(PyObject*, const BoundArgs& bound) {
  const Classified operand = classify(bound[0]);
  const ArrayOperand* array = as_array(operand);
  if (array == nullptr || array->shape.size() != 1 || array->element.type != ElementType::Float64) {
    raise_conversion_error(bound[0], "PyArray<T, D>");
    return argument_error(bound, 0);
  }
  if (array->layouts == 0 || array->data == nullptr) fail("contiguous array required: NotContiguousError");
  const std::size_t length = array->size();
  F64Vec values(length);
  if (length > 0) std::memcpy(values.data(), array->data, length * sizeof(double));
  return wrap_buffer(Buffer::from_f64_vec(std::move(values)));
}

PyObject* go_impl(PyObject*, const BoundArgs& bound) {
  const std::optional<Submission> submission = read_submission(bound, 1, "go");
  if (!submission) return nullptr;
  // The spec is copied under the lock; the computation then runs
  // without it, on this thread, touching no Python object.
  const auto task = std::make_shared<Task>();
  if (submission->map != nullptr) {
    const MapContent spec = *submission->map;
    without_gil([&] { run_map(task, spec, submission->out); });
  } else {
    const ReduceContent spec = *submission->reduce;
    without_gil([&] { run_reduce(task, spec, submission->out); });
  }
  return wrap_task(task);
}

PyObject* chan_impl(PyObject*, const BoundArgs& bound) {
  std::uint64_t capacity = 0;
  if (!to_u64(bound[0], capacity)) return argument_error(bound, 0);
  std::optional<ChannelHandle> channel = ChannelHandle::create(capacity);
  // A capacity whose slots cannot be reserved is an allocation failure.
  if (!channel) return PyErr_NoMemory();
  return wrap_channel(std::move(*channel));
}

using enum ParamKind;

constexpr Param kAsarrayParams[] = {{"array", Required}};
constexpr Param kRuntimeGoParams[] = {{"spec", Required}, {"out", Optional, "None"}};
constexpr Param kChanParams[] = {{"capacity", Required}};

constexpr Method kRuntimeMethods[] = {
    {"asarray", kAsarrayParams, "Create a Buffer from a numpy array.", asarray_impl},
    {"go", kRuntimeGoParams,
     "Submit a computation and return a `TaskHandle`.\n"
     "Accepts either a `MapSpec` (elementwise) or a `ReduceSpec`.\n"
     "If `out` is provided, the result is delivered to that channel asynchronously.",
     go_impl},
    {"chan", kChanParams, "Create a bounded channel.", chan_impl},
};

constexpr ClassDef kRuntimeClass{
    .name = "_RuntimeModule",
    .doc = "The runtime module exposed to Python.",
    .methods = kRuntimeMethods,
    .init = new_plain,
};

}  // namespace

std::optional<Submission> read_submission(const BoundArgs& bound, std::size_t out_index, const char* function) {
  PyObject* const spec = bound[0];
  PyObject* const out = bound[out_index];
  Submission submission;
  if (out != nullptr && out != Py_None) {
    const ChannelHandle* channel = unwrap_channel(out);
    if (channel == nullptr) {
      argument_error(bound, out_index);
      return std::nullopt;
    }
    submission.out = *channel;
  }
  submission.map = as_map_spec(spec);
  submission.reduce = submission.map == nullptr ? as_reduce_spec(spec) : nullptr;
  if (submission.map == nullptr && submission.reduce == nullptr) {
    set_error(PyExc_TypeError, std::string(function) + "() expects a MapSpec or ReduceSpec");
    return std::nullopt;
  }
  return submission;
}

LazyType& runtime_module_type() { return lazy_type<kRuntimeClass>(); }

}  // namespace bmx::py
