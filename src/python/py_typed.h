// The package's private entry points of typed evaluation: programs whose
// values have NumPy's element types, compiled and run over arrays of any
// strides.
#pragma once

#include "py.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "arg_binder.h"
#include "buffer_view.h"
#include "eval/typed_eval.h"
#include "module_part.h"
#include "py_class.h"

namespace bmx::py {

using TypedProgramRef = std::shared_ptr<const TypedProgram>;

/// A `_typed_evaluate` ready for the engine: the program, its inputs and
/// output as the engine reads them, and the views that hold their memory
/// (released with the interpreter lock held).
struct PreparedTyped {
  TypedProgramRef program;
  std::vector<TypedInput> inputs;
  std::vector<std::size_t> shape;
  void* target = nullptr;
  /// The output's strides in bytes, which the engine writes it by.
  std::vector<std::ptrdiff_t> target_strides;
  std::size_t size = 0;
  std::vector<BufferView> views;
};

/// `_typed_evaluate(program, inputs, out)` up to the engine call; empty with
/// the Python error set when an argument is refused. `runs_here`: the caller
/// runs it (`run_typed_call`) before it returns, so that a short one holds no
/// views; else every array is held by a view, for a run on another thread.
std::optional<PreparedTyped> prepare_typed(const BoundArgs& args, bool runs_here);

/// The same over a program, its inputs and `out`.
std::optional<PreparedTyped> prepare_typed(const TypedProgramRef& program, std::span<PyObject* const> inputs,
                                           PyObject* out, bool runs_here);

/// The type of typed programs, which hold a TypedProgramRef.
LazyType& typed_program_type();

/// The engine call of a prepared evaluation, touching no Python object:
/// false when an element had no value.
bool run_typed(const PreparedTyped& prepared);

/// `run_typed` as a call from Python runs it: without the lock unless it was
/// prepared to keep it, holding no views.
bool run_typed_call(const PreparedTyped& prepared);

/// The module functions `_typed_compile` and `_typed_evaluate`; `_DTYPES`
/// (the element type names by code) and `_TYPED_OPS` (the code of every
/// operation by name).
extern const ModulePart kTypedPart;

}  // namespace bmx::py
