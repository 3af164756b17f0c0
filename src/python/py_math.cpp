#include "py_math.h"

#include <array>
#include <string>
#include <string_view>

#include "arg_binder.h"
#include "method_table.h"
#include "module_names.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr std::array kModes = {MathMode::Libm, MathMode::Fast};

PyObject* text_of(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

bool find_mode(PyObject* name, MathMode& mode) {
  for (const MathMode candidate : kModes) {
    const std::string_view text = math_mode_name(candidate);
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, std::string(text).c_str()) == 0) {
      mode = candidate;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "math must be 'libm' or 'fast', not %R", name);
  return false;
}

namespace {

std::string missing(MathMode mode) { return mode == MathMode::Fast ? fast_math_missing() : std::string(); }

// _math_missing(mode): why this process cannot compute in `mode`; "" when it can.
PyObject* math_missing_impl(PyObject*, const BoundArgs& args) {
  MathMode mode{};
  if (!find_mode(args[0], mode)) return nullptr;
  return text_of(missing(mode));
}

using enum ParamKind;
constexpr Param kModeParams[] = {{"mode", Required}};

constexpr Method kMathFunctions[] = {
    {"_math_missing", kModeParams, "Why this process cannot compute in math `mode`; \"\" when it can.",
     math_missing_impl},
};

}  // namespace

bool read_math_mode(PyObject* name, MathMode& mode) {
  if (!find_mode(name, mode)) return false;
  const std::string why = missing(mode);
  if (why.empty()) return true;
  PyErr_SetString(PyExc_RuntimeError, why.c_str());
  return false;
}

namespace {

bool add_math_names(PyObject* module) {
  if (!add_names(module, "_MATH_MODES", kModes, math_mode_name)) return false;
  const PyRef loops = PyRef::steal(PyFrozenSet_New(nullptr));
  if (!loops) return false;
  for (const TypedOpInfo& info : kTypedOps) {
    for (std::size_t code = 0; code < kDTypeCount; ++code) {
      if (!has_fast_loop(info.op, static_cast<ElementType>(code))) continue;
      const PyRef pair = PyRef::steal(Py_BuildValue("(in)", static_cast<int>(info.op), static_cast<Py_ssize_t>(code)));
      if (!pair || PySet_Add(loops.get(), pair.get()) < 0) return false;
    }
  }
  return PyObject_SetAttrString(module, "_FAST_MATH_LOOPS", loops.get()) == 0;
}

}  // namespace

const ModulePart kMathPart{method_defs<kMathFunctions>, add_math_names};

}  // namespace bmx::py
