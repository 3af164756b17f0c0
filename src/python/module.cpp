// PyInit__brindlemox: the one exported symbol; builds the module once per process.
#include "py.h"

#include <atomic>
#include <cstdint>

#include "boundary.h"
#include "py_buffer.h"
#include "py_bytes.h"
#include "py_calls.h"
#include "py_channel.h"
#include "py_channel_waits.h"
#include "py_evaluate.h"
#include "py_exact_sum.h"
#include "py_expr.h"
#include "py_isa.h"
#include "py_kernel.h"
#include "py_math.h"
#include "py_operators.h"
#include "py_typed.h"
#include "py_reduce.h"
#include "py_ref.h"
#include "py_runtime.h"
#include "py_task.h"
#include "py_tasks.h"

namespace bmx::py {

namespace {

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_brindlemox",
    .m_doc = "brindlemox: A Python parallel compute library backed by a C++ execution engine.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Appends `name` to the module's __all__ (made on first use), then sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) == 0) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  const PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) return false;
  if (PyList_Append(all.get(), text.get()) < 0) {
    fail("could not append __name__ to __all__: " + describe_pending_error());
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

// Adds the functions of a method table, bound to the module. Public names
// join __all__; private ones (a leading underscore) are attributes only.
bool add_functions(PyObject* module, PyMethodDef* functions) {
  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    const PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return false;
    const bool added = def->ml_name[0] == '_' ? PyObject_SetAttrString(module, def->ml_name, function.get()) == 0
                                              : add_to_module(module, def->ml_name, function.get());
    if (!added) return false;
  }
  return true;
}

bool run_module_body(PyObject* module) {
  const PyRef version = PyRef::steal(PyUnicode_FromString("1.0.0"));
  if (!version || !add_to_module(module, "__version__", version.get())) return false;

  struct Registration {
    const char* name;
    LazyType& type;
  };
  const Registration classes[] = {
      {"Expr", expr_type()},
      {"Buffer", buffer_type()},
      {"TaskHandle", task_handle_type()},
      {"KernelSpec", kernel_spec_type()},
      {"MapSpec", map_spec_type()},
      {"ReduceSpec", reduce_spec_type()},
      {"_KernelModule", kernel_module_type()},
      {"_RuntimeModule", runtime_module_type()},
      {"Channel", channel_type()},
      {"RecvCase", recv_case_type()},
  };
  for (const Registration& entry : classes) {
    PyTypeObject* type = entry.type.get_or_create();
    if (type == nullptr || !add_to_module(module, entry.name, reinterpret_cast<PyObject*>(type))) return false;
  }

  // In this order: the public functions among them join __all__ as they come.
  const ModulePart parts[] = {kChannelPart, kEvaluatePart, kReducePart, kExactSumPart, kBytesPart,
                              kOperatorsPart, kTypedPart, kMathPart, kTasksPart, kChannelWaitsPart,
                              kIsaPart, kCallsPart};
  for (const ModulePart& part : parts) {
    if (!add_functions(module, part.functions())) return false;
    if (part.add_names != nullptr && !part.add_names(module)) return false;
  }
  return true;
}

PyObject* init_module() {
  // The engine's process-wide state is not per interpreter, so only the first
  // interpreter that imports the module may use it.
  static std::atomic<std::int64_t> owner{-1};
  static PyObject* module = nullptr;

  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  std::int64_t expected = -1;
  if (!owner.compare_exchange_strong(expected, current) && expected != current) {
    return set_error(PyExc_ImportError,
                     "_brindlemox does not support sub-interpreters: it can only be imported in the "
                     "interpreter that first imported it");
  }
  if (module != nullptr) return Py_NewRef(module);

  PyRef created = PyRef::steal(PyModule_Create(&kModuleDef));
  if (!created || !run_module_body(created.get())) return nullptr;
  module = created.release();
  return Py_NewRef(module);
}

}  // namespace

}  // namespace bmx::py

PyMODINIT_FUNC PyInit__brindlemox() {
  return bmx::py::guard([] { return bmx::py::init_module(); });
}
