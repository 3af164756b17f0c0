// The module's constants that name the engine's codes in order (_DTYPES,
// _REDUCTIONS, _UNARY_OPS, ...), so that the package reads the names from
// the engine instead of restating them.
#pragma once

#include "py.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <string_view>

#include "arg_binder.h"
#include "boundary.h"
#include "convert.h"
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

/// An engine code and the name the module gives it.
template <class Code>
struct Named {
  const char* name;
  Code code;
};

/// Sets `module.<attribute>` to the names of `table`, in its order.
template <class Code, std::size_t N>
bool add_names(PyObject* module, const char* attribute, const Named<Code> (&table)[N]) {
  return add_names(module, attribute, table, [](const Named<Code>& entry) { return entry.name; });
}

/// The code argument `index` gives as its position in `table` (the constant
/// add_names made of it); nullopt with the error set for anything else,
/// ValueError `unknown` for a position past the table.
template <class Code, std::size_t N>
std::optional<Code> named_code(const BoundArgs& args, std::size_t index, const Named<Code> (&table)[N],
                               const char* unknown) {
  std::uint64_t position = 0;
  if (!to_u64(args[index], position)) {
    argument_error(args, index);
    return std::nullopt;
  }
  if (position >= N) {
    set_error(PyExc_ValueError, unknown);
    return std::nullopt;
  }
  return table[position].code;
}

}  // namespace bmx::py
