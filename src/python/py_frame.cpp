#include "py_frame.h"

#include "arg_binder.h"
#include "method_table.h"

namespace bmx::py {

namespace {

// _frame_variable(frame, name): a function frame's local, cell or free
// variable `name`; KeyError when it has no value there. `frame.f_locals`
// would copy every local into a dict first, on every call.
PyObject* frame_variable_impl(PyObject*, const BoundArgs& args) {
  if (!PyFrame_Check(args[0])) {
    return PyErr_Format(PyExc_TypeError, "argument 'frame' must be a frame, not %.200s", Py_TYPE(args[0])->tp_name);
  }
  if (!PyUnicode_Check(args[1])) {
    return PyErr_Format(PyExc_TypeError, "argument 'name' must be str, not %.200s", Py_TYPE(args[1])->tp_name);
  }
  PyObject* const value = PyFrame_GetVar(reinterpret_cast<PyFrameObject*>(args[0]), args[1]);
  if (value == nullptr && PyErr_ExceptionMatches(PyExc_NameError)) {
    PyErr_Clear();
    PyErr_SetObject(PyExc_KeyError, args[1]);
  }
  return value;
}

using enum ParamKind;
constexpr Param kFrameVariableParams[] = {{"frame", Required}, {"name", Required}};

constexpr Method kFunctions[] = {
    {"_frame_variable", kFrameVariableParams,
     "A function frame's local, cell or free variable `name`, read alone; KeyError when it has no value.",
     frame_variable_impl},
};

}  // namespace

const ModulePart kFramePart{method_defs<kFunctions>, nullptr};

}  // namespace bmx::py
