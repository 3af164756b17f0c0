#include "py_typed.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <ranges>
#include <span>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/typed_eval.h"
#include "method_table.h"
#include "module_names.h"
#include "operand.h"
#include "py_class.h"
#include "py_evaluate.h"
#include "py_math.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

constexpr ClassDef kTypedProgramClass{
    .name = "_TypedProgram",
    .doc = "A typed program compiled by _typed_compile, for _typed_evaluate.",
};

}  // namespace

LazyType& typed_program_type() { return lazy_type<kTypedProgramClass, TypedProgramRef>(); }

namespace {

/// The non-negative integer `object` holds, or -1 with a Python error set.
long long index_of(PyObject* object) {
  const PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return -1;
  const long long value = PyLong_AsLongLong(index.get());
  if (value < 0 && PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_ValueError, "negative code in a typed program");
  return value < 0 ? -1 : value;
}

bool read_instr(PyObject* item, TypedInstr& instr) {
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 4) {
    PyErr_SetString(PyExc_TypeError, "a typed instruction is a tuple (kind, op, dtype, payload)");
    return false;
  }
  long long fields[4];
  for (Py_ssize_t k = 0; k < 4; ++k) {
    fields[k] = index_of(PyTuple_GET_ITEM(item, k));
    if (fields[k] < 0) return false;
  }
  // The engine judges the kinds; these bounds keep each field in its type.
  if (fields[0] > 255 || fields[1] > 255 || !is_dtype_code(static_cast<std::uint64_t>(fields[2]))) {
    PyErr_SetString(PyExc_ValueError, "unknown code in a typed instruction");
    return false;
  }
  instr = {static_cast<TypedKind>(fields[0]), static_cast<std::uint8_t>(fields[1]), static_cast<ElementType>(fields[2]),
           static_cast<std::uint64_t>(fields[3])};
  return true;
}

// _typed_compile(program, constants, inputs, math="libm")
PyObject* typed_compile_impl(PyObject*, const BoundArgs& args) {
  std::span<PyObject* const> instr_items;
  if (!to_tuple_items(args[0], instr_items)) return argument_error(args, 0);
  std::span<PyObject* const> constant_items;
  if (!to_tuple_items(args[1], constant_items)) return argument_error(args, 1);
  std::vector<TypedInstr> instrs(instr_items.size());
  for (std::size_t k = 0; k < instrs.size(); ++k) {
    if (!read_instr(instr_items[k], instrs[k])) return nullptr;
  }
  std::vector<ElementBytes> constants(constant_items.size());
  for (std::size_t k = 0; k < constants.size(); ++k) {
    PyObject* bytes = constant_items[k];
    if (!PyBytes_Check(bytes) || PyBytes_GET_SIZE(bytes) > 16) {
      PyErr_SetString(PyExc_TypeError, "a typed constant is the bytes of one element");
      return nullptr;
    }
    constants[k].fill(0);
    std::memcpy(constants[k].data(), PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  }
  const long long inputs = index_of(args[2]);
  if (inputs < 0) return nullptr;
  MathMode math = MathMode::Libm;
  if (args[3] != nullptr && !read_math_mode(args[3], math)) return nullptr;
  Result<TypedProgram> program =
      TypedProgram::compile(instrs, std::move(constants), static_cast<std::size_t>(inputs), math);
  if (!program.ok()) return raise_refusal(program.error());
  return make_instance(typed_program_type().get(),
                       TypedProgramRef(std::make_shared<const TypedProgram>(std::move(program).value())));
}

bool refuse(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

/// The array `object` as an input of `type` over `shape`. A 0-d array is
/// read at every element, as NumPy broadcasts it.
bool read_input(PyObject* object, ElementType type, std::span<const Py_ssize_t> shape, TypedInput& input) {
  const Classified classified = classify(object);
  const ArrayOperand* array = as_array(classified);
  if (array == nullptr || !array->plain) return refuse("a typed input must be a NumPy array");
  if (array->element.type != type) return refuse("a typed input has another dtype than the program loads");
  const bool everywhere = array->shape.empty();
  if (!everywhere && !std::ranges::equal(array->shape, shape)) {
    return refuse("a typed input has another shape than the output");
  }
  if (!array->aligned) return refuse("a typed input must be aligned");
  input = {reinterpret_cast<const unsigned char*>(array->data), type,
           everywhere ? std::vector<std::ptrdiff_t>(shape.size(), 0)
                      : std::vector<std::ptrdiff_t>(array->strides.begin(), array->strides.end())};
  return true;
}

}  // namespace

std::optional<PreparedTyped> prepare_typed(const BoundArgs& args, bool runs_here) {
  const auto read = payload_and_items<TypedProgramRef>(args, typed_program_type());
  if (!read) return std::nullopt;
  return prepare_typed(*read->first, read->second, args[2], runs_here);
}

std::optional<PreparedTyped> prepare_typed(const TypedProgramRef& found, std::span<PyObject* const> objects,
                                           PyObject* out_object, bool runs_here) {
  PreparedTyped prepared;
  prepared.program = found;
  const TypedProgram& program = *prepared.program;
  const Classified out_classified = classify(out_object);
  const ArrayOperand* out = as_array(out_classified);
  if (out == nullptr || !out->plain || !out->writable || !out->aligned || out->element.type != program.result_type() ||
      std::ranges::any_of(std::views::iota(std::size_t{0}, out->shape.size()),
                          [&](std::size_t d) { return out->shape[d] > 1 && out->strides[d] == 0; })) {
    PyErr_SetString(PyExc_TypeError,
                    "the output must be a writable, aligned array of the result dtype that repeats no element");
    return std::nullopt;
  }
  const std::vector<ElementType>& types = program.input_types();
  if (objects.size() != types.size()) {
    PyErr_SetString(PyExc_TypeError, "the inputs do not match the program's");
    return std::nullopt;
  }
  prepared.inputs.resize(types.size());
  for (std::size_t slot = 0; slot < types.size(); ++slot) {
    if (!read_input(objects[slot], types[slot], out->shape, prepared.inputs[slot])) return std::nullopt;
  }
  prepared.shape.assign(out->shape.begin(), out->shape.end());
  prepared.target = out->data;
  prepared.target_strides.assign(out->strides.begin(), out->strides.end());
  prepared.size = out->size();
  // A run this thread makes keeping the lock needs no views: no Python code
  // runs before it ends, to move or free the memory it reads. Otherwise views
  // keep every array's memory where it is while the lock is released.
  if (runs_here && keeps_lock(prepared.size, program.element_cost())) return prepared;
  prepared.views = std::vector<BufferView>(types.size() + 1);
  for (std::size_t slot = 0; slot < types.size(); ++slot) {
    if (!prepared.views[slot].acquire(objects[slot], PyBUF_RECORDS_RO)) return std::nullopt;
  }
  if (!prepared.views.back().acquire(out_object, PyBUF_WRITABLE | PyBUF_RECORDS)) return std::nullopt;
  prepared.target = prepared.views.back().data();
  return prepared;
}

bool run_typed(const PreparedTyped& prepared) {
  return evaluate_typed(*prepared.program, prepared.inputs, prepared.shape, prepared.target, prepared.target_strides);
}

bool run_typed_call(const PreparedTyped& prepared) {
  // Made ready to keep the lock, it holds no views (see prepare_typed).
  return prepared.views.empty() ? run_typed(prepared) : without_gil([&] { return run_typed(prepared); });
}

namespace {

// _typed_evaluate(program, inputs, out): True, or False when an element had
// no value (an integer to a negative integer power).
PyObject* typed_evaluate_impl(PyObject*, const BoundArgs& args) {
  const std::optional<PreparedTyped> prepared = prepare_typed(args, true);
  if (!prepared) return nullptr;
  return PyBool_FromLong(run_typed_call(*prepared) ? 1 : 0);
}

using enum ParamKind;
constexpr Param kTypedCompileParams[] = {
    {"program", Required}, {"constants", Required}, {"inputs", Required}, {"math", Optional, "'libm'"}};
constexpr Param kTypedEvaluateParams[] = {{"program", Required}, {"inputs", Required}, {"out", Required}};

constexpr Method kTypedFunctions[] = {
    {"_typed_compile", kTypedCompileParams,
     "A typed program from its instructions (kind, op, dtype, payload), its constants (each element's bytes)\n"
     "and its number of inputs, computing in `math` ('libm' or 'fast'); ValueError when the types do not fit,\n"
     "RuntimeError when this process cannot compute in fast math.",
     typed_compile_impl},
    {"_typed_evaluate", kTypedEvaluateParams,
     "Run a typed program over arrays of the output's shape or 0-d ones into `out`, all of any strides (`out`'s\n"
     "repeating no element); False when an element had no value (an integer to a negative integer power).",
     typed_evaluate_impl},
};

bool add_typed_names(PyObject* module) {
  const auto dtype_of_code = [](std::size_t code) { return dtype_name(static_cast<ElementType>(code)); };
  if (!add_names(module, "_DTYPES", std::views::iota(std::size_t{0}, kDTypeCount), dtype_of_code)) return false;
  const PyRef ops = PyRef::steal(PyDict_New());
  if (!ops) return false;
  for (const TypedOpInfo& info : kTypedOps) {
    const PyRef code = PyRef::steal(PyLong_FromLong(static_cast<long>(info.op)));
    if (!code || PyDict_SetItemString(ops.get(), std::string(info.name).c_str(), code.get()) < 0) return false;
  }
  return PyObject_SetAttrString(module, "_TYPED_OPS", ops.get()) == 0;
}

}  // namespace

const ModulePart kTypedPart{method_defs<kTypedFunctions>, add_typed_names};

}  // namespace bmx::py
