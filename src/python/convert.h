// Conversions of Python argument values into engine values.
//
// Each returns false (or nullptr) with a Python exception set when the value
// does not convert; the caller reports it with argument_error(args, index).
#pragma once

#include "py.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace bmx::py {

/// TypeError "'<qualname of value's type>' object cannot be converted to '<expected>'".
void raise_conversion_error(PyObject* value, const char* expected);

/// An integer through __index__; negative or too large values raise OverflowError.
bool to_u64(PyObject* value, std::uint64_t& out);

/// Only True or False.
bool to_bool(PyObject* value, bool& out);

/// Only tuple: its items, borrowed from it.
bool to_tuple_items(PyObject* value, std::span<PyObject* const>& out);

/// Only str; encoded as UTF-8 (lone surrogates raise the interpreter's encoding error).
bool to_text(PyObject* value, std::string& out);

/// The number a Python value stands for: a signed 64-bit integer (int, bool,
/// __index__) converted to double, else the interpreter's float conversion.
/// Empty, with no exception set, when it is neither.
std::optional<double> to_number(PyObject* value);

}  // namespace bmx::py
