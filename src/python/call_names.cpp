#include "call_names.h"

#include <utility>

namespace bmx::py {

namespace {

/// The caller of the package function that calls the binding: its frame,
/// or null with no error when there is none.
PyRef caller_frame() {
  PyFrameObject* const current = PyEval_GetFrame();
  return current == nullptr ? PyRef{} : PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(current)));
}

}  // namespace

bool read_name(PyObject* names, PyObject* name, PyRef& value) {
  if (PyDict_CheckExact(names)) {
    PyObject* const found = PyDict_GetItemWithError(names, name);
    value = PyRef::borrow(found);
    return found != nullptr;
  }
  PyObject* const found = PyFrame_Check(names) ? PyFrame_GetVar(reinterpret_cast<PyFrameObject*>(names), name)
                                               : PyObject_GetItem(names, name);
  value = PyRef::steal(found);
  if (found == nullptr && PyErr_ExceptionMatches(PyFrame_Check(names) ? PyExc_NameError : PyExc_KeyError)) {
    PyErr_Clear();
  }
  return found != nullptr;
}

bool call_namespaces(PyObject* local_dict, PyObject* global_dict, std::array<PyRef, 2>& spaces) {
  if (global_dict != Py_None) {
    spaces = {local_dict == Py_None ? PyRef{} : PyRef::borrow(local_dict), PyRef::borrow(global_dict)};
    return true;
  }
  const PyRef frame = caller_frame();
  if (!frame) return false;
  auto* const caller = reinterpret_cast<PyFrameObject*>(frame.get());
  PyRef globals = PyRef::steal(PyFrame_GetGlobals(caller));
  if (local_dict != Py_None) {
    spaces = {PyRef::borrow(local_dict), std::move(globals)};
    return true;
  }
  const PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(caller)));
  const bool function = (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_OPTIMIZED) != 0;
  PyRef locals = function ? frame : PyRef::steal(PyFrame_GetLocals(caller));
  if (!locals) return false;
  spaces = {std::move(locals), std::move(globals)};
  return true;
}

}  // namespace bmx::py
