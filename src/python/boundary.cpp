// Exception conversion at the Python boundary.
#include "boundary.h"

#include <cstdio>
#include <cstdlib>

#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "normally propagates all the way up the stack and ends the interpreter.";

// Created on first need under the interpreter lock, kept for the process.
PyObject* panic_class() {
  static PyObject* created = nullptr;
  if (created == nullptr) {
    created = PyErr_NewExceptionWithDoc("vorpex_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return created;
}

}  // namespace

void raise_panic(const std::string& message) {
  PyObject* cls = panic_class();
  if (cls == nullptr) {
    // Could not even build the exception class: nothing sound is left to do.
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  set_error(cls, message);
}

void raise_internal_failure(const InternalFailure& failure) {
  const std::source_location& where = failure.where();
  std::fprintf(stderr, "brindlemox: internal failure at %s:%u in %s: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name(), failure.message().c_str());
  raise_panic(failure.message().empty() ? "the native engine failed" : failure.message());
}

std::string describe_pending_error() {
  const PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error) return "no Python error was set";
  const PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(error.get())));
  const PyRef text = PyRef::steal(PyObject_Str(error.get()));
  const char* type_utf8 = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
  const char* text_utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  PyErr_Clear();
  std::string description = type_utf8 != nullptr ? type_utf8 : "Exception";
  if (text_utf8 != nullptr && *text_utf8 != '\0') description += std::string(": ") + text_utf8;
  return description;
}

void raise_os_refusal(const std::system_error& error) {
  // Like Python's own "can't start new thread": an ordinary, recoverable error.
  set_error(PyExc_RuntimeError, error.what());
}

std::nullptr_t set_error(PyObject* type, const std::string& message) {
  PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

std::nullptr_t raise_generic(const ComputeError& error) { return set_error(PyExc_RuntimeError, display_text(error)); }

std::nullptr_t raise_task_error(const ComputeError& error) {
  switch (error.kind()) {
    case ErrorKind::TypeError: return set_error(PyExc_TypeError, error.message());
    case ErrorKind::ShapeError:
    case ErrorKind::ArgError:
    case ErrorKind::EmptyCollection: return set_error(PyExc_ValueError, error.message());
    case ErrorKind::Cancelled: return set_error(PyExc_RuntimeError, "task cancelled");
    case ErrorKind::ChannelClosed: return set_error(PyExc_RuntimeError, "channel closed");
    case ErrorKind::Internal: return set_error(PyExc_RuntimeError, error.message());
  }
  return set_error(PyExc_RuntimeError, error.message());
}

std::nullptr_t raise_refusal(const ComputeError& error) { return set_error(PyExc_ValueError, error.message()); }

void fail_python_api(std::source_location where) {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  fail("Python API call failed", where);
}

PyObject* expect_object(PyObject* object, std::source_location where) {
  if (object == nullptr) fail_python_api(where);
  return object;
}

PyObject* new_text(const std::string& text, std::source_location where) {
  return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())), where);
}

void ensure_error_set() {
  if (PyErr_Occurred() == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

}  // namespace bmx::py
