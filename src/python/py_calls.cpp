// A call seen before, as the package keeps it: a way (a NamedTuple whose
// first field is a compiled float64 kernel, or a typed program with its
// result's dtype and shape and its inputs' loads) under the bytes of its
// values' signature. The package decides what is kept and when a call may
// come here; anything this path does not settle (no way kept, an operand the
// engine refuses where it lies, an element without a value) returns None
// having written nothing, and the package's full path answers.
#include "py_calls.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arg_binder.h"
#include "call_names.h"
#include "convert.h"
#include "isa/isa_level.h"
#include "method_table.h"
#include "numpy_api.h"
#include "operand.h"
#include "py_evaluate.h"
#include "py_math.h"
#include "py_ref.h"
#include "py_typed.h"

namespace bmx::py {

namespace {

template <class T>
void append(std::string& key, const T& value) {
  key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

/// Which integer types hold `value`, one bit each, and its sign: two Python
/// ints of one class type every operation alike.
bool append_int_class(std::string& key, PyObject* value) {
  struct Range {
    long long low;
    unsigned long long high;
  };
  static constexpr Range kRanges[] = {
      {-128, 127}, {-32768, 32767}, {-2147483648LL, 2147483647ULL}, {INT64_MIN, INT64_MAX},
      {0, 255},    {0, 65535},      {0, 4294967295ULL},             {0, UINT64_MAX},
  };
  int beyond = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &beyond);
  if (small == -1 && PyErr_Occurred() != nullptr) return false;
  std::uint8_t holders = 0;
  if (beyond == 0) {
    for (std::size_t k = 0; k < std::size(kRanges); ++k) {
      const bool held =
          small >= kRanges[k].low && (small < 0 || static_cast<unsigned long long>(small) <= kRanges[k].high);
      holders |= static_cast<std::uint8_t>(held ? 1U << k : 0U);
    }
  } else if (beyond > 0 && (PyLong_AsUnsignedLongLong(value) != static_cast<unsigned long long>(-1) ||
                            PyErr_Occurred() == nullptr)) {
    holders = std::uint8_t{1} << 7;
  }
  PyErr_Clear();
  append(key, holders);
  append(key, static_cast<std::uint8_t>(beyond < 0 || (beyond == 0 && small < 0) ? 1 : 0));
  return true;
}

/// The element type of a NumPy scalar of exactly the type of `value`.
std::optional<ElementType> scalar_element(PyObject* value) {
  static const auto kScalarTypes = [] {
    std::array<PyTypeObject*, std::size(kElementTypes)> types{};
    for (std::size_t k = 0; k < types.size(); ++k) types[k] = scalar_type_of(kElementTypes[k].numpy_type_number);
    return types;
  }();
  for (std::size_t k = 0; k < kScalarTypes.size(); ++k) {
    if (Py_TYPE(value) == kScalarTypes[k]) return kElementTypes[k].type;
  }
  return std::nullopt;
}

/// Appends what the answer over `value` depends on; false for a value only
/// the full path takes (anything but a plain array of a type the engine
/// reads in native byte order, a NumPy scalar, and a Python float, int or complex).
bool append_value(std::string& key, PyObject* value) {
  PyTypeObject* const type = Py_TYPE(value);
  if (type == &PyFloat_Type || type == &PyComplex_Type) {
    key.push_back(type == &PyFloat_Type ? 'f' : 'c');
    return true;
  }
  if (type == &PyLong_Type) {
    key.push_back('i');
    return append_int_class(key, value);
  }
  if (type == numpy_api().array_type) {
    const Classified classified = classify(value);
    const ArrayOperand* array = as_array(classified);
    if (array == nullptr) return false;
    key.push_back('a');
    append(key, array->element.type);
    append(key, array->shape.size());
    for (const Py_ssize_t extent : array->shape) append(key, extent);
    for (const Py_ssize_t stride : array->strides) append(key, stride);
    return true;
  }
  const std::optional<ElementType> element = scalar_element(value);
  if (!element) return false;
  key.push_back('s');
  append(key, *element);
  return true;
}

/// The signature of a call in math mode `mode` over `values` at the active
/// instruction level; null with no error for values only the full path takes.
PyRef signature_of(PyObject* mode, std::span<PyObject* const> values) {
  // A way is kept only for a mode its first call computed in.
  MathMode math = MathMode::Libm;
  if (!find_mode(mode, math)) return {};
  std::string key;
  key.reserve(8 + 24 * values.size());
  append(key, math);
  append(key, active_isa());
  for (PyObject* value : values) {
    if (!append_value(key, value)) return {};
  }
  return PyRef::steal(PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
}

/// The lowest and one past the highest byte of `array`'s elements.
std::pair<const char*, const char*> memory_span(const ArrayOperand& array) {
  const char* low = array.data;
  const char* high = array.data + array.element.size;
  for (std::size_t d = 0; d < array.shape.size(); ++d) {
    const Py_ssize_t reach = (array.shape[d] - 1) * array.strides[d];
    (reach < 0 ? low : high) += reach;
  }
  return {low, high};
}

/// Whether `out` takes a typed way's result of `shape` where it lies, as the
/// full path writes it: an array of that shape that no array among `values`
/// shares memory with, unless one is read where it is written, element for
/// element (the full path copies any other first). The engine checks the rest.
bool takes_typed_result(PyObject* out, std::span<const Py_ssize_t> shape, std::span<PyObject* const> values) {
  const Classified classified = classify(out);
  const ArrayOperand* target = as_array(classified);
  if (target == nullptr || !std::ranges::equal(target->shape, shape)) return false;
  const auto [low, high] = memory_span(*target);
  for (PyObject* value : values) {
    const Classified read = classify(value);
    const ArrayOperand* array = as_array(read);
    if (array == nullptr || array->size() == 0) continue;
    const auto [value_low, value_high] = memory_span(*array);
    const bool shared = value_low < high && low < value_high;
    if (shared && !(array->data == target->data && std::ranges::equal(array->strides, target->strides) &&
                    std::ranges::equal(array->shape, target->shape))) {
      return false;
    }
  }
  return true;
}

/// A typed way's program over its loads, into `out` (None for a new array):
/// None when a load converts a Python number (the way's own `run` does that),
/// `out` does not take the result where it lies, or the engine refuses an
/// input where it lies.
PyObject* run_typed_way(PyObject* way, const TypedProgramRef& program, std::span<PyObject* const> values,
                        PyObject* out) {
  std::span<PyObject* const> shape_items;
  std::span<PyObject* const> loads;
  if (PyTuple_GET_SIZE(way) != 4 || !to_tuple_items(PyTuple_GET_ITEM(way, 2), shape_items) ||
      !to_tuple_items(PyTuple_GET_ITEM(way, 3), loads)) {
    return PyErr_Format(PyExc_TypeError, "a typed way is (program, dtype, shape, loads)");
  }
  // NumPy's most dimensions (NPY_MAXDIMS of NumPy 2): no allocation for the shape.
  std::array<Py_ssize_t, 64> extents{};
  if (shape_items.size() > extents.size()) Py_RETURN_NONE;
  for (std::size_t k = 0; k < shape_items.size(); ++k) {
    extents[k] = PyLong_AsSsize_t(shape_items[k]);
    if (extents[k] == -1 && PyErr_Occurred() != nullptr) return nullptr;
  }
  const std::span<const Py_ssize_t> shape(extents.data(), shape_items.size());
  if (out != Py_None && !takes_typed_result(out, shape, values)) Py_RETURN_NONE;
  std::vector<PyObject*> inputs(loads.size());
  for (std::size_t k = 0; k < loads.size(); ++k) {
    PyObject* const load = loads[k];
    if (!PyTuple_Check(load) || PyTuple_GET_SIZE(load) != 3) {
      return PyErr_Format(PyExc_TypeError, "a load is (position, dtype, fixed)");
    }
    const Py_ssize_t position = PyLong_AsSsize_t(PyTuple_GET_ITEM(load, 0));
    if (position == -1 && PyErr_Occurred() != nullptr) return nullptr;
    if (position < 0) {
      inputs[k] = PyTuple_GET_ITEM(load, 2);
    } else if (static_cast<std::size_t>(position) >= values.size()) {
      return PyErr_Format(PyExc_ValueError, "a load reads value %zd of %zu", position, values.size());
    } else if (PyTuple_GET_ITEM(load, 1) != Py_None) {
      const PyRef arguments = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
      if (!arguments) return nullptr;
      for (Py_ssize_t v = 0; v < PyTuple_GET_SIZE(arguments.get()); ++v) {
        PyTuple_SET_ITEM(arguments.get(), v, Py_NewRef(values[static_cast<std::size_t>(v)]));
      }
      return PyObject_CallMethod(way, "run", "(OO)", arguments.get(), out);
    } else {
      inputs[k] = values[static_cast<std::size_t>(position)];
    }
  }
  PyRef result = out == Py_None ? PyRef::steal(new_array(PyTuple_GET_ITEM(way, 1), shape)) : PyRef::borrow(out);
  if (!result) return nullptr;
  const std::optional<PreparedTyped> prepared = prepare_typed(program, inputs, result.get(), true);
  if (!prepared) {
    // Refused before anything was computed: an input the engine cannot read
    // where it lies (a misaligned array), which the full path copies, or an
    // `out` it does not write where it lies, which the full path casts into.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  // An element without a value: the full path computes again and says which.
  if (!run_typed_call(*prepared)) Py_RETURN_NONE;
  return result.release();
}

/// The way kept in `ways` for a call in `mode` over `values` into `out`, run;
/// None when there is none or it does not settle the call.
PyObject* run_seen(PyObject* ways, PyObject* mode, std::span<PyObject* const> values, PyObject* out) {
  if (!PyDict_Check(ways)) return PyErr_Format(PyExc_TypeError, "ways must be a dict");
  const PyRef key = signature_of(mode, values);
  if (!key) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  PyObject* const way = PyDict_GetItemWithError(ways, key.get());
  if (way == nullptr) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  if (!PyTuple_Check(way) || PyTuple_GET_SIZE(way) == 0) return PyErr_Format(PyExc_TypeError, "a way is a tuple");
  const PyRef held = PyRef::borrow(way);
  PyObject* const program = PyTuple_GET_ITEM(way, 0);
  if (const CompiledKernelRef* kernel = payload_if<CompiledKernelRef>(program, compiled_kernel_type())) {
    std::optional<PreparedEvaluation> prepared = prepare_evaluation(*kernel, values, out, true);
    if (!prepared) {
      if (PyErr_Occurred() != nullptr) return nullptr;
      Py_RETURN_NONE;
    }
    return run_evaluation(*prepared);
  }
  if (const TypedProgramRef* typed = payload_if<TypedProgramRef>(program, typed_program_type())) {
    return run_typed_way(way, *typed, values, out);
  }
  return PyErr_Format(PyExc_TypeError, "a way runs a compiled kernel or a typed program");
}

// _frame_variable(frame, name): a function frame's local, cell or free
// variable `name`, read as a call's names are; KeyError when it has no value
// there. `frame.f_locals` would copy every local into a dict first, on every
// call.
PyObject* frame_variable_impl(PyObject*, const BoundArgs& args) {
  if (!PyFrame_Check(args[0])) {
    return PyErr_Format(PyExc_TypeError, "argument 'frame' must be a frame, not %.200s", Py_TYPE(args[0])->tp_name);
  }
  if (!PyUnicode_Check(args[1])) {
    return PyErr_Format(PyExc_TypeError, "argument 'name' must be str, not %.200s", Py_TYPE(args[1])->tp_name);
  }
  PyRef value;
  if (read_name(args[0], args[1], value)) return value.release();
  if (PyErr_Occurred() == nullptr) PyErr_SetObject(PyExc_KeyError, args[1]);
  return nullptr;
}

// _call_signature(values, mode): the bytes a call in `mode` over `values`
// keeps its way under, or None when only the full path takes them.
PyObject* call_signature_impl(PyObject*, const BoundArgs& args) {
  std::span<PyObject* const> values;
  if (!to_tuple_items(args[0], values)) return argument_error(args, 0);
  PyRef key = signature_of(args[1], values);
  if (!key && PyErr_Occurred() == nullptr) Py_RETURN_NONE;
  return key.release();
}

// _seen_call(ways, mode, values, out): the result of the way kept in `ways`
// for these values, or None.
PyObject* seen_call_impl(PyObject*, const BoundArgs& args) {
  std::span<PyObject* const> values;
  if (!to_tuple_items(args[2], values)) return argument_error(args, 2);
  return run_seen(args[0], args[1], values, args[3]);
}

// _seen_text(texts, text, order, mode, local_dict, global_dict, out): `texts`
// holds, by text (and order, when not "K"), its names and its ways; the names
// are read from the call's namespaces, and only they are read.
PyObject* seen_text_impl(PyObject*, const BoundArgs& args) {
  if (!PyDict_Check(args[0])) return PyErr_Format(PyExc_TypeError, "texts must be a dict");
  const bool k_order = PyUnicode_Check(args[2]) && PyUnicode_CompareWithASCIIString(args[2], "K") == 0;
  const PyRef keyed = k_order ? PyRef::borrow(args[1]) : PyRef::steal(PyTuple_Pack(2, args[1], args[2]));
  if (!keyed) return nullptr;
  PyObject* const entry = PyDict_GetItemWithError(args[0], keyed.get());
  if (entry == nullptr) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  const PyRef held = PyRef::borrow(entry);
  std::span<PyObject* const> names;
  if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 2 || !to_tuple_items(PyTuple_GET_ITEM(entry, 0), names)) {
    return PyErr_Format(PyExc_TypeError, "a text's entry is (names, ways)");
  }
  std::array<PyRef, 2> spaces;
  if (!call_namespaces(args[4], args[5], spaces)) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  std::vector<PyRef> read(names.size());
  std::vector<PyObject*> values(names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    bool found = false;
    for (const PyRef& space : spaces) {
      if (!space) continue;
      found = read_name(space.get(), names[k], read[k]);
      if (found || PyErr_Occurred() != nullptr) break;
    }
    if (PyErr_Occurred() != nullptr) return nullptr;
    // A name without a value: the full path says so.
    if (!found) Py_RETURN_NONE;
    values[k] = read[k].get();
  }
  return run_seen(PyTuple_GET_ITEM(entry, 1), args[3], values, args[6]);
}

using enum ParamKind;
constexpr Param kFrameVariableParams[] = {{"frame", Required}, {"name", Required}};
constexpr Param kSignatureParams[] = {{"values", Required}, {"mode", Required}};
constexpr Param kSeenCallParams[] = {{"ways", Required}, {"mode", Required}, {"values", Required}, {"out", Required}};
constexpr Param kSeenTextParams[] = {{"texts", Required},      {"text", Required},
                                     {"order", Required},      {"mode", Required},
                                     {"local_dict", Required}, {"global_dict", Required},
                                     {"out", Required}};

constexpr Method kCallsFunctions[] = {
    {"_frame_variable", kFrameVariableParams,
     "A function frame's local, cell or free variable `name`, read alone; KeyError when it has no value.",
     frame_variable_impl},
    {"_call_signature", kSignatureParams,
     "The bytes a call in math mode `mode` over `values` keeps its way under, or None.", call_signature_impl},
    {"_seen_call", kSeenCallParams, "The result of the way kept in `ways` for a call over `values`, or None.",
     seen_call_impl},
    {"_seen_text", kSeenTextParams,
     "The result of the way kept in `texts` for `text` in `order` over its names' values where the call reads "
     "them, or None.",
     seen_text_impl},
};

}  // namespace

const ModulePart kCallsPart{method_defs<kCallsFunctions>, nullptr};

}  // namespace bmx::py
