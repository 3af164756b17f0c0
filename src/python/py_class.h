// The shape shared by every Python class of the module: a heap type created
// once from a slot table, whose instances hold one C++ value after the header.
#pragma once

#include "py.h"

#include <memory>
#include <utility>

#include "boundary.h"

namespace bmx::py {

/// Instance layout: the object header, then the payload, constructed in
/// place when the object is made and destroyed with it.
template <class T>
struct Instance {
  PyObject_HEAD
  T value;
};

/// The payload of an instance known to be of the class that holds T.
template <class T>
T& payload(PyObject* object) {
  return reinterpret_cast<Instance<T>*>(object)->value;
}

/// tp_dealloc for Instance<T>: destroys the payload, frees the object and
/// drops the reference the instance holds on its heap type.
template <class T>
void dealloc_instance(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&payload<T>(object));
  type->tp_free(object);
  Py_DECREF(type);
}

/// tp_new of the classes Python may not instantiate:
/// TypeError "No constructor defined for <class>".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

/// tp_dealloc of the stateless classes, whose instances hold no payload.
void dealloc_plain(PyObject* object);

struct Signature;

/// tp_new of the stateless classes: binds the call to `signature` (no
/// parameters) and makes a payload-free instance.
PyObject* new_stateless(PyTypeObject* type, const Signature& signature, PyObject* args, PyObject* kwargs);

/// A class's type object, created from `spec` on first use and kept for the
/// process. `created` is the class's own storage slot.
class LazyType {
 public:
  constexpr explicit LazyType(PyType_Spec& spec) : spec_(spec) {}

  /// The type object, or nullptr with the Python error set (module body).
  PyTypeObject* get_or_create();
  /// The type object for an operation building an instance; a failed
  /// creation prints the Python error and is an internal failure.
  PyTypeObject* get();

 private:
  PyType_Spec& spec_;
  PyTypeObject* type_ = nullptr;
};

/// A new instance of `type` holding `value`.
template <class T>
PyObject* make_instance(PyTypeObject* type, T value) {
  PyObject* object = expect_object(type->tp_alloc(type, 0));
  std::construct_at(&payload<T>(object), std::move(value));
  return object;
}

/// True when `object` is an instance of `type` (or of a subtype).
inline bool is_instance(PyObject* object, PyTypeObject* type) { return PyObject_TypeCheck(object, type) != 0; }

}  // namespace bmx::py

namespace bmx::py {

/// The calling convention of every method and function of the module.
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

/// A METH_FASTCALL | METH_KEYWORDS function as the method table stores it.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

/// A slot function as PyType_Slot stores it.
template <class F>
void* as_slot(F* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace bmx::py
