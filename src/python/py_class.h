// The shape shared by every Python class of the module: a heap type created
// once from its ClassDef, whose instances hold one C++ value after the header.
#pragma once

#include "py.h"

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "convert.h"
#include "method_table.h"
#include "no_destructor.h"

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

/// tp_dealloc of the stateless classes, whose instances hold no payload.
void dealloc_plain(PyObject* object);

/// tp_new of the classes Python may not instantiate:
/// TypeError "No constructor defined for <class>".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

/// A constructor's body: the class being instantiated and the call's
/// arguments bound to the class's `init_params`. Runs inside guard().
using ConstructorImpl = PyObject* (*)(PyTypeObject* type, const BoundArgs& args);

/// The constructor of the stateless classes: an instance holding nothing.
PyObject* new_plain(PyTypeObject* type, const BoundArgs& args);

/// What a Python class declares; its type object is made from this alone
/// plus its special slots (lazy_type below). Written as a constexpr row.
struct ClassDef {
  /// The bare class name; the type is "builtins.<name>", hence __module__ "builtins".
  const char* name;
  /// The docstring; a class with a constructor gets the constructor's text
  /// signature in front of it, as methods do.
  const char* doc;
  std::span<const Method> methods = {};
  /// The constructor Python may call, or null for "No constructor defined for <name>".
  ConstructorImpl init = nullptr;
  std::span<const Param> init_params = {};
};

/// A class's type object, created from its description on first use and kept
/// for the process.
class LazyType {
 public:
  LazyType(const ClassDef& def, int basicsize, destructor dealloc, newfunc construct, PyMethodDef* methods,
           std::initializer_list<PyType_Slot> special_slots);
  LazyType(const LazyType&) = delete;
  LazyType& operator=(const LazyType&) = delete;

  /// The type object, or nullptr with the Python error set (module body).
  PyTypeObject* get_or_create();
  /// The type object for an operation building an instance; a failed
  /// creation prints the Python error and is an internal failure.
  PyTypeObject* get();
  /// The bare class name.
  const char* class_name() const { return class_name_; }

 private:
  const char* class_name_;
  std::string qualified_name_;
  std::string doc_;
  std::vector<PyType_Slot> slots_;
  PyType_Spec spec_;
  PyTypeObject* type_ = nullptr;
};

namespace detail {

/// tp_new of a class with a constructor: bind to "<name>.__new__", then the body.
template <const ClassDef& def>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_tuple({def.name, "__new__", def.init_params}, args, kwargs, bound)) return nullptr;
    return def.init(type, bound);
  });
}

}  // namespace detail

/// A slot function as PyType_Slot stores it.
template <class F>
void* as_slot(F* function) {
  return reinterpret_cast<void*>(function);
}

/// The type of `def`, whose instances hold a Payload (nothing for void), with
/// the special slots (repr, number protocol, ...) the rows cannot express.
/// The slots given on the first call are the ones used.
template <const ClassDef& def, class Payload = void>
LazyType& lazy_type(std::initializer_list<PyType_Slot> special_slots = {}) {
  static NoDestructor<LazyType> type = [&] {
    newfunc construct = def.init != nullptr ? detail::construct<def> : refuse_construction;
    PyMethodDef* methods = def.methods.empty() ? nullptr : method_defs<def>();
    if constexpr (std::is_void_v<Payload>) {
      return NoDestructor<LazyType>(def, static_cast<int>(sizeof(PyObject)), dealloc_plain, construct, methods,
                                    special_slots);
    } else {
      return NoDestructor<LazyType>(def, static_cast<int>(sizeof(Instance<Payload>)), dealloc_instance<Payload>,
                                    construct, methods, special_slots);
    }
  }();
  return *type;
}

/// A new instance of `type` holding `value`.
template <class T>
PyObject* make_instance(PyTypeObject* type, T value) {
  PyObject* object = expect_object(type->tp_alloc(type, 0));
  std::construct_at(&payload<T>(object), std::move(value));
  return object;
}

/// True when `object` is an instance of `type` (or of a subtype).
inline bool is_instance(PyObject* object, PyTypeObject* type) { return PyObject_TypeCheck(object, type) != 0; }

/// The payload of `object` when it is an instance of `type`, else nullptr
/// (no error set).
template <class T>
T* payload_if(PyObject* object, LazyType& type) {
  return is_instance(object, type.get()) ? &payload<T>(object) : nullptr;
}

/// The payload of `object` when it is an instance of `type`; otherwise the
/// conversion error "'<its type>' object cannot be converted to '<class>'"
/// and nullptr.
template <class T>
T* payload_of(PyObject* object, LazyType& type) {
  T* const found = payload_if<T>(object, type);
  if (found == nullptr) raise_conversion_error(object, type.class_name());
  return found;
}

/// What the evaluation entry points read first: the payload of the instance
/// of `type` in args[0] and the items of the tuple in args[1]; empty with the
/// argument's error set when either is another thing.
template <class T>
std::optional<std::pair<T*, std::span<PyObject* const>>> payload_and_items(const BoundArgs& args, LazyType& type) {
  T* const value = payload_of<T>(args[0], type);
  if (value == nullptr) {
    argument_error(args, 0);
    return std::nullopt;
  }
  std::span<PyObject* const> items;
  if (!to_tuple_items(args[1], items)) {
    argument_error(args, 1);
    return std::nullopt;
  }
  return std::pair{value, items};
}

}  // namespace bmx::py
