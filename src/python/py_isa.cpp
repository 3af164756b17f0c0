#include "py_isa.h"

#include <cstddef>
#include <span>
#include <string_view>

#include "arg_binder.h"
#include "boundary.h"
#include "isa/isa_level.h"
#include "method_table.h"
#include "module_names.h"

namespace bmx::py {

namespace {

constexpr IsaLevel kLevels[] = {IsaLevel::Baseline, IsaLevel::Avx2, IsaLevel::Avx512};

PyObject* level_name(IsaLevel level) {
  const std::string_view name = isa_name(level);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

// _isa(level=None): the active level's name; given a level's name, makes it
// the active one for programs compiled from then on and returns the previous
// one's name.
PyObject* isa_impl(PyObject*, const BoundArgs& args) {
  if (args[0] == nullptr || args[0] == Py_None) return level_name(active_isa());
  if (!PyUnicode_Check(args[0])) {
    return PyErr_Format(PyExc_TypeError, "_isa() argument 'level' must be str or None, not %.100s",
                        Py_TYPE(args[0])->tp_name);
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(args[0], &length);
  if (text == nullptr) return nullptr;
  const std::string_view wanted(text, static_cast<std::size_t>(length));
  for (const IsaLevel level : kLevels) {
    if (isa_name(level) != wanted) continue;
    const Result<IsaLevel> previous = force_isa(level);
    if (!previous.ok()) return raise_refusal(previous.error());
    return level_name(previous.value());
  }
  return PyErr_Format(PyExc_ValueError, "unknown instruction level %R", args[0]);
}

using enum ParamKind;
constexpr Param kIsaParams[] = {{"level", Optional, "None"}};

constexpr Method kIsaFunctions[] = {
    {"_isa", kIsaParams,
     "The instruction level of the engine's loops; given a level's name, makes it the level of programs\n"
     "compiled from then on and returns the previous one's name.",
     isa_impl},
};

bool add_isa_levels(PyObject* module) {
  const auto count = static_cast<std::size_t>(supported_isa()) + 1;
  return add_names(module, "_ISA_LEVELS", std::span(kLevels).first(count), isa_name);
}

}  // namespace

const ModulePart kIsaPart{method_defs<kIsaFunctions>, add_isa_levels};

}  // namespace bmx::py
