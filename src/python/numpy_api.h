// The part of NumPy's native array API the module uses, located lazily
// through the `_ARRAY_API` capsule of NumPy's core module.
#pragma once

#include "py.h"

#include <cstdint>
#include <span>

namespace bmx::py {

/// The leading fields of NumPy's array object, whose layout NumPy keeps
/// stable across its 1.x and 2.x ABIs.
struct NumpyArrayFields {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline constexpr int kNpyDouble = 12;
inline constexpr int kNpyArrayCContiguous = 0x0001;
inline constexpr int kNpyArrayFContiguous = 0x0002;
inline constexpr int kNpyArrayAligned = 0x0100;
inline constexpr int kNpyArrayWriteable = 0x0400;

/// Typed entries of the array API table.
struct NumpyApi {
  PyTypeObject* array_type;
  PyTypeObject* descr_type;
  PyObject* (*descr_from_type)(int type_number);
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                              const Py_ssize_t* strides, void* data, int flags, PyObject* base);
  unsigned char (*equiv_types)(PyObject* first, PyObject* second);
};

/// The table, located on the first call and kept for the process. A failure
/// to reach it is an internal failure "Failed to access NumPy array API
/// capsule: <Python error>"; nothing is stored then, so the next call retries.
const NumpyApi& numpy_api();

/// Whether the array's dtype is the one of NumPy type number `type_number`,
/// or one NumPy counts as equivalent to it.
bool has_dtype(const NumpyArrayFields& array, int type_number);

/// The scalar type of NumPy type number `type_number` (`numpy.float64` for
/// float64): the first field of a dtype in every NumPy ABI.
PyTypeObject* scalar_type_of(int type_number);

/// A new C-ordered array of dtype `descr` (a borrowed dtype object) and
/// dimensions `dims`; its elements are not initialised.
PyObject* new_array(PyObject* descr, std::span<const Py_ssize_t> dims);

/// A new float64 array of `nd` dimensions `dims`, in Fortran order when
/// `fortran`, else in C order; its elements are not initialised.
PyObject* new_f64_array(int nd, const Py_ssize_t* dims, bool fortran);

}  // namespace bmx::py
