// One row per Python method: its name, parameters, docstring and body. The
// entry point CPython calls, the text signature and the PyMethodDef are all
// made from the row, so a method is written down once.
//
// A class lists its rows in its ClassDef (py_class.h); the module's own
// functions are a plain array of rows, turned into a method table by
// function_defs<rows>() and added by the module body.
#pragma once

#include "py.h"

#include <cstddef>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "no_destructor.h"

namespace bmx::py {

/// The calling convention of every method and function of the module.
inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

/// A METH_FASTCALL | METH_KEYWORDS function as the method table stores it.
using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastMethod method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

/// A method's body: the receiver (the module, for a module function) and the
/// call's arguments bound to the row's parameters. Returns a new reference,
/// or nullptr with a Python exception set. Runs inside guard().
using MethodImpl = PyObject* (*)(PyObject* self, const BoundArgs& args);

/// One Python-callable method or module function.
struct Method {
  const char* name;
  std::span<const Param> params;
  /// The description shown as __doc__; "" for none. The text signature is
  /// generated in front of it.
  const char* doc;
  MethodImpl impl;
};

/// The text signature as __text_signature__ reads it, with the function's
/// name in front: "go($self, spec, out=None)", "py_select(*cases, default=False)".
std::string text_signature(const char* name, bool has_receiver, std::span<const Param> params);

/// The stored docstring: the text signature, "\n--\n\n", then `doc`.
std::string docstring(const char* name, bool has_receiver, std::span<const Param> params, const char* doc);

/// The PyMethodDef array of some rows (null-terminated), and the docstrings it points at.
class MethodDefs {
 public:
  MethodDefs(bool has_receiver, std::span<const Method> rows, std::span<const PyCFunction> entries);
  PyMethodDef* get() { return defs_.data(); }

 private:
  std::vector<std::string> docs_;
  std::vector<PyMethodDef> defs_;
};

namespace detail {

/// The rows of a module-function array, or of a class definition (any type
/// with `name` and `methods`); module functions have no owner.
template <std::size_t N>
constexpr std::span<const Method> rows_of(const Method (&rows)[N]) {
  return rows;
}
template <class Def>
constexpr std::span<const Method> rows_of(const Def& def) {
  return def.methods;
}
template <std::size_t N>
constexpr const char* owner_of(const Method (&)[N]) {
  return nullptr;
}
template <class Def>
constexpr const char* owner_of(const Def& def) {
  return def.name;
}

/// The METH_FASTCALL | METH_KEYWORDS entry point of row `index`: bind, then the body.
template <const auto& table, std::size_t index>
PyObject* call_row(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    const Method& row = rows_of(table)[index];
    BoundArgs bound;
    if (!bind({owner_of(table), row.name, row.params}, args, nargsf, kwnames, bound)) return nullptr;
    return row.impl(self, bound);
  });
}

}  // namespace detail

/// The null-terminated method table of `table` (a ClassDef, or an array of
/// module-function rows), built on first use and kept for the process.
template <const auto& table>
PyMethodDef* method_defs() {
  static NoDestructor<MethodDefs> defs = [&]<std::size_t... index>(std::index_sequence<index...>) {
    const PyCFunction entries[] = {as_method(detail::call_row<table, index>)..., nullptr};
    return NoDestructor<MethodDefs>(detail::owner_of(table) != nullptr, detail::rows_of(table),
                                    std::span(entries, sizeof...(index)));
  }(std::make_index_sequence<detail::rows_of(table).size()>{});
  return defs->get();
}

}  // namespace bmx::py
