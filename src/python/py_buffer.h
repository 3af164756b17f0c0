// Buffer: the Python handle of an engine buffer.
#pragma once

#include "py.h"

#include "buffer/buffer.h"
#include "py_class.h"

namespace bmx::py {

LazyType& buffer_type();

/// A new Buffer object holding `buffer`.
PyObject* wrap_buffer(BufferRef buffer);

/// The buffer held by a Buffer object; the conversion error (expected
/// 'Buffer') with nullptr otherwise.
const BufferRef* unwrap_buffer(PyObject* object);

}  // namespace bmx::py
