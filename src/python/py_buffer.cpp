// Buffer: copying out to NumPy, the first element, length and repr.
#include "py_buffer.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "arg_binder.h"
#include "convert.h"
#include "numpy_api.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

PyObject* numpy_impl(PyObject* self, const BoundArgs&) {
  const std::span<const double> values = payload<BufferRef>(self)->as_f64_slice();
  const Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(values.size())};
  PyObject* array = new_f64_array(1, dims, false);
  if (!values.empty()) {
    std::memcpy(reinterpret_cast<NumpyArrayFields*>(array)->data, values.data(), values.size_bytes());
  }
  return array;
}

PyObject* scalar_impl(PyObject* self, const BoundArgs&) {
  const std::span<const double> values = payload<BufferRef>(self)->as_f64_slice();
  if (values.empty()) return set_error(PyExc_ValueError, "buffer is empty");
  return expect_object(PyFloat_FromDouble(values[0]));
}

Py_ssize_t buffer_length(PyObject* self) {
  return guard([&]() -> Py_ssize_t {
    const std::uint64_t count = payload<BufferRef>(self)->element_count();
    if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      PyErr_SetNone(PyExc_OverflowError);
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  });
}

// Exports the storage itself: read-only, one dimension of "d" elements. The
// view holds the Buffer object, and through it the storage, until released.
int buffer_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  return guard([&]() -> int {
    view->obj = nullptr;
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
      set_error(PyExc_BufferError, "Buffer is read-only");
      return -1;
    }
    const Buffer& buffer = *payload<BufferRef>(self);
    const std::span<const double> values = buffer.as_f64_slice();
    check(buffer.shape().size() == 1, "only one-dimensional buffers are exported");
    // The engine's shape is immutable and lives as long as the buffer; its
    // uint64_t sizes may be read as Py_ssize_t, their signed counterpart.
    static_assert(sizeof(Py_ssize_t) == sizeof(std::uint64_t));
    static constexpr double kNoElements = 0.0;
    static constexpr Py_ssize_t kStride = sizeof(double);
    view->buf = const_cast<double*>(values.empty() ? &kNoElements : values.data());
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(values.size_bytes());
    view->readonly = 1;
    view->ndim = 1;
    view->strides = nullptr;
    if ((flags & PyBUF_ND) != PyBUF_ND) {
      // A request without a shape reads the storage as plain bytes.
      view->itemsize = 1;
      view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("B") : nullptr;
      view->shape = nullptr;
    } else {
      view->itemsize = sizeof(double);
      view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>("d") : nullptr;
      view->shape = reinterpret_cast<Py_ssize_t*>(const_cast<std::uint64_t*>(buffer.shape().data()));
      if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) view->strides = const_cast<Py_ssize_t*>(&kStride);
    }
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
  });
}

PyObject* buffer_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const Buffer& buffer = *payload<BufferRef>(self);
    std::string text = "Buffer(dtype=";
    text += dtype_name(buffer.dtype());
    text += ", shape=[";
    for (std::size_t i = 0; i < buffer.shape().size(); ++i) {
      if (i > 0) text += ", ";
      text += std::to_string(buffer.shape()[i]);
    }
    text += "], len=" + std::to_string(buffer.element_count()) + ")";
    return new_text(text);
  });
}

constexpr Method kBufferMethods[] = {
    {"numpy", {}, "Convert to numpy array (copies data out).", numpy_impl},
    {"scalar", {}, "Get a single scalar value (first element).", scalar_impl},
};

constexpr ClassDef kBufferClass{
    .name = "Buffer",
    .doc = "Python-visible buffer handle wrapping a C++ Buffer.",
    .methods = kBufferMethods,
};

}  // namespace

LazyType& buffer_type() {
  return lazy_type<kBufferClass, BufferRef>({
      {Py_tp_repr, as_slot(buffer_repr)},
      {Py_sq_length, as_slot(buffer_length)},
      {Py_bf_getbuffer, as_slot(buffer_getbuffer)},
  });
}

PyObject* wrap_buffer(BufferRef buffer) { return make_instance(buffer_type().get(), std::move(buffer)); }

const BufferRef* unwrap_buffer(PyObject* object) { return payload_of<BufferRef>(object, buffer_type()); }

}  // namespace bmx::py
