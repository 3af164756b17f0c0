// Type creation and the refusing constructor.
#include "py_class.h"

#include <string>

#include "arg_binder.h"
#include "py_ref.h"

namespace bmx::py {

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  const PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

void dealloc_plain(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* new_stateless(PyTypeObject* type, const Signature& signature, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_tuple(signature, args, kwargs, bound)) return nullptr;
    return expect_object(type->tp_alloc(type, 0));
  });
}

PyTypeObject* LazyType::get_or_create() {
  if (type_ != nullptr) return type_;
  PyObject* created = PyType_FromSpec(&spec_);
  if (created == nullptr) return nullptr;
  // Creation can run Python code; if a racing caller stored a type meanwhile,
  // that one is kept and this one discarded.
  if (type_ != nullptr) {
    Py_DECREF(created);
    return type_;
  }
  type_ = reinterpret_cast<PyTypeObject*>(created);
  return type_;
}

PyTypeObject* LazyType::get() {
  PyTypeObject* type = get_or_create();
  if (type == nullptr) {
    PyErr_Print();
    const std::string name = spec_.name;
    fail("failed to create type object for " + name.substr(name.rfind('.') + 1));
  }
  return type;
}

}  // namespace bmx::py
