// The module's constants that name the engine's codes in order (_DTYPES,
// _REDUCTIONS, _UNARY_OPS, ...), so that the package reads the names from
// the engine instead of restating them.
#pragma once

#include "py.h"

#include <ranges>
#include <string_view>

#include "py_ref.h"

namespace bmx::py {

/// Sets `module.<attribute>` to the tuple of `name(item)` for each of `items`,
/// in their order (the position is the code). False with the Python error set
/// when that fails.
template <std::ranges::sized_range Items, class Name>
bool add_names(PyObject* module, const char* attribute, const Items& items, Name name) {
  const PyRef names = PyRef::steal(PyTuple_New(std::ranges::ssize(items)));
  if (!names) return false;
  Py_ssize_t code = 0;
  for (const auto& item : items) {
    const std::string_view text = name(item);
    PyObject* const str = PyUnicode_FromStringAndSize(text.data(), std::ssize(text));
    if (str == nullptr) return false;
    PyTuple_SET_ITEM(names.get(), code++, str);
  }
  return PyObject_SetAttrString(module, attribute, names.get()) == 0;
}

}  // namespace bmx::py
