// Type creation, the plain and the refusing constructor.
#include "py_class.h"

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

PyObject* new_plain(PyTypeObject* type, const BoundArgs&) { return expect_object(type->tp_alloc(type, 0)); }

LazyType::LazyType(const ClassDef& def, int basicsize, destructor dealloc, newfunc construct, PyMethodDef* methods,
                   std::initializer_list<PyType_Slot> special_slots)
    : class_name_(def.name),
      qualified_name_(std::string("builtins.") + def.name),
      doc_(def.init != nullptr ? docstring(def.name, false, def.init_params, def.doc) : def.doc) {
  slots_ = {
      {Py_tp_doc, doc_.data()},
      {Py_tp_new, as_slot(construct)},
      {Py_tp_dealloc, as_slot(dealloc)},
  };
  if (methods != nullptr) slots_.push_back({Py_tp_methods, methods});
  slots_.insert(slots_.end(), special_slots);
  slots_.push_back({0, nullptr});
  spec_ = {
      .name = qualified_name_.c_str(),
      .basicsize = basicsize,
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots_.data(),
  };
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
    fail(std::string("failed to create type object for ") + class_name_);
  }
  return type;
}

}  // namespace bmx::py
