// _RuntimeModule: copying NumPy arrays in, submitting work, making channels.
#include "py_runtime.h"

#include <cstring>

#include "arg_binder.h"
#include "convert.h"
#include "numpy_api.h"
#include "py_buffer.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr Param kArrayParam[] = {{"array", ParamKind::Required}};

constexpr Signature kNew{"_RuntimeModule.__new__", {}};
constexpr Signature kAsarray{"_RuntimeModule.asarray", kArrayParam};

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

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"asarray", as_method(asarray_method), kFast, "asarray($self, array)\n--\n\nCreate a Buffer from a numpy array."},
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
