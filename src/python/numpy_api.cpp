// Locating NumPy's array API table by NumPy's major version.
#include "numpy_api.h"

#include <optional>

#include "boundary.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

// Positions in NumPy's array API table; part of NumPy's public ABI.
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrTypeSlot = 3;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kEquivTypesSlot = 182;

PyRef attribute_of_module(const char* module_name, const char* attribute) {
  const PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return {};
  return PyRef::steal(PyObject_GetAttrString(module.get(), attribute));
}

std::optional<long> numpy_major_version() {
  const PyRef version = attribute_of_module("numpy", "__version__");
  if (!version) return std::nullopt;
  const PyRef numpy_version = attribute_of_module("numpy.lib", "NumpyVersion");
  if (!numpy_version) return std::nullopt;
  const PyRef parsed = PyRef::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
  if (!parsed) return std::nullopt;
  const PyRef major = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return std::nullopt;
  const long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (value < 0 || value > 255) {
    PyErr_Format(PyExc_ValueError, "NumPy major version %ld is out of range", value);
    return std::nullopt;
  }
  return value;
}

void** locate_table() {
  const std::optional<long> major = numpy_major_version();
  if (!major) return nullptr;
  const char* multiarray = *major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  const PyRef capsule = attribute_of_module(multiarray, "_ARRAY_API");
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get()) && !PyObject_TypeCheck(capsule.get(), &PyCapsule_Type)) {
    return set_error(PyExc_TypeError, "_ARRAY_API is not a capsule");
  }
  const char* name = PyCapsule_GetName(capsule.get());
  if (name == nullptr) PyErr_Clear();
  return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
}

}  // namespace

const NumpyApi& numpy_api() {
  static std::optional<NumpyApi> located;
  if (located) return *located;
  void** table = locate_table();
  if (table == nullptr) fail("Failed to access NumPy array API capsule: " + describe_pending_error());
  located = NumpyApi{
      static_cast<PyTypeObject*>(table[kArrayTypeSlot]),
      static_cast<PyTypeObject*>(table[kDescrTypeSlot]),
      reinterpret_cast<PyObject* (*)(int)>(table[kDescrFromTypeSlot]),
      reinterpret_cast<decltype(NumpyApi::new_from_descr)>(table[kNewFromDescrSlot]),
      reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[kEquivTypesSlot]),
  };
  return *located;
}

bool has_dtype(const NumpyArrayFields& array, int type_number) {
  const NumpyApi& api = numpy_api();
  const PyRef descr = PyRef::steal(expect_object(api.descr_from_type(type_number)));
  return array.descr == descr.get() || api.equiv_types(array.descr, descr.get()) != 0;
}

PyTypeObject* scalar_type_of(int type_number) {
  struct DescrHead {
    PyObject_HEAD
    PyTypeObject* typeobj;
  };
  const PyRef descr = PyRef::steal(expect_object(numpy_api().descr_from_type(type_number)));
  return reinterpret_cast<const DescrHead*>(descr.get())->typeobj;
}

PyObject* new_array(PyObject* descr, std::span<const Py_ssize_t> dims) {
  const NumpyApi& api = numpy_api();
  if (!PyObject_TypeCheck(descr, api.descr_type)) {
    return PyErr_Format(PyExc_TypeError, "expected a dtype, not %.200s", Py_TYPE(descr)->tp_name);
  }
  // new_from_descr takes over the descriptor reference, also on failure.
  Py_INCREF(descr);
  return api.new_from_descr(api.array_type, descr, static_cast<int>(dims.size()), dims.data(), nullptr, nullptr, 0,
                            nullptr);
}

PyObject* new_f64_array(int nd, const Py_ssize_t* dims, bool fortran) {
  const NumpyApi& api = numpy_api();
  PyObject* descr = expect_object(api.descr_from_type(kNpyDouble));
  // new_from_descr takes over the descriptor reference, also on failure.
  return expect_object(
      api.new_from_descr(api.array_type, descr, nd, dims, nullptr, nullptr, fortran ? 1 : 0, nullptr));
}

}  // namespace bmx::py
