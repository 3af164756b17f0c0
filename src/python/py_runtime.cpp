// _RuntimeModule: copying NumPy arrays in, submitting work, making channels.
#include "py_runtime.h"

#include <cstring>

#include "arg_binder.h"
#include "convert.h"
#include "numpy_api.h"
#include "py_buffer.h"
#include "py_channel.h"
#include "py_kernel.h"
#include "py_ref.h"
#include "py_task.h"
#include "runtime/submit.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr Param kArrayParam[] = {{"array", ParamKind::Required}};

constexpr Signature kNew{"_RuntimeModule.__new__", {}};
constexpr Param kCapacityParam[] = {{"capacity", ParamKind::Required}};
constexpr Param kGoParams[] = {{"spec", ParamKind::Required}, {"out", ParamKind::Optional}};
constexpr Signature kGo{"_RuntimeModule.go", kGoParams};
constexpr Signature kAsarray{"_RuntimeModule.asarray", kArrayParam};
constexpr Signature kChan{"_RuntimeModule.chan", kCapacityParam};

PyObject* runtime_module_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_stateless(type, kNew, args, kwargs);
}

// A one-dimensional float64 array, or the conversion error.
const NumpyArrayFields* to_f64_array(PyObject* value) {
  const NumpyApi& api = numpy_api();
  if (is_instance(value, api.array_type)) {
    const auto* array = reinterpret_cast<const NumpyArrayFields*>(value);
    if (array->nd == 1) {
      const PyRef float64 = PyRef::steal(expect_object(api.descr_from_type(kNpyDouble)));
      if (array->descr == float64.get() || api.equiv_types(array->descr, float64.get()) != 0) return array;
    }
  }
  raise_conversion_error(value, "PyArray<T, D>");
  return nullptr;
}

PyObject* asarray_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kAsarray, args, nargs, kwnames, bound)) return nullptr;
    const NumpyArrayFields* array = to_f64_array(bound[0]);
    if (array == nullptr) return argument_error("array");
    if ((array->flags & (kNpyArrayCContiguous | kNpyArrayFContiguous)) == 0 || array->data == nullptr) {
      fail("contiguous array required: NotContiguousError");
    }
    const auto length = static_cast<std::size_t>(array->dimensions[0]);
    F64Vec values(length);
    if (length > 0) std::memcpy(values.data(), array->data, length * sizeof(double));
    return wrap_buffer(Buffer::from_f64_vec(std::move(values)));
  });
}

PyObject* go_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kGo, args, nargs, kwnames, bound)) return nullptr;
    std::optional<ChannelHandle> out;
    if (bound[1] != nullptr && bound[1] != Py_None) {
      const ChannelHandle* channel = unwrap_channel(bound[1]);
      if (channel == nullptr) return argument_error("out");
      out = *channel;
    }
    const MapContent* map = as_map_spec(bound[0]);
    const ReduceContent* reduce = map == nullptr ? as_reduce_spec(bound[0]) : nullptr;
    if (map == nullptr && reduce == nullptr) {
      PyErr_SetString(PyExc_TypeError, "go() expects a MapSpec or ReduceSpec");
      return nullptr;
    }
    // The spec is copied under the lock; the computation then runs
    // without it, on this thread, touching no Python object.
    const auto task = std::make_shared<Task>();
    if (map != nullptr) {
      const MapContent spec = *map;
      without_gil([&] { run_map(task, spec, out); });
    } else {
      const ReduceContent spec = *reduce;
      without_gil([&] { run_reduce(task, spec, out); });
    }
    return wrap_task(task);
  });
}

PyObject* chan_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kChan, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t capacity = 0;
    if (!to_u64(bound[0], capacity)) return argument_error("capacity");
    std::optional<ChannelHandle> channel = ChannelHandle::create(capacity);
    // A capacity whose slots cannot be reserved is an allocation failure.
    if (!channel) return PyErr_NoMemory();
    return wrap_channel(std::move(*channel));
  });
}

PyMethodDef kMethods[] = {
    {"asarray", as_method(asarray_method), kFast, "asarray($self, array)\n--\n\nCreate a Buffer from a numpy array."},
    {"go", as_method(go_method), kFast,
     "go($self, spec, out=None)\n--\n\nSubmit a computation and return a `TaskHandle`.\n"
     "Accepts either a `MapSpec` (elementwise) or a `ReduceSpec`.\n"
     "If `out` is provided, the result is delivered to that channel asynchronously."},
    {"chan", as_method(chan_method), kFast, "chan($self, capacity)\n--\n\nCreate a bounded channel."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("_RuntimeModule()\n--\n\nThe runtime module exposed to Python.")},
    {Py_tp_new, as_slot(runtime_module_new)},
    {Py_tp_dealloc, as_slot(dealloc_plain)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins._RuntimeModule",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

}  // namespace

LazyType& runtime_module_type() {
  static LazyType type(kSpec);
  return type;
}

}  // namespace bmx::py
