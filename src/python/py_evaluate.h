// The package's private entry points: kernels evaluated over borrowed NumPy
// memory into the caller's output array, and the thread count.
#pragma once

#include "py.h"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "arg_binder.h"
#include "buffer_view.h"
#include "eval/run_range.h"
#include "eval/slots.h"
#include "ir/compiled_kernel.h"
#include "module_part.h"
#include "operand.h"
#include "py_class.h"
#include "py_ref.h"

namespace bmx::py {

/// Evaluations shorter than this that the engine runs on this thread alone
/// keep the interpreter lock: they take about the time that handing the lock
/// over and back would take.
inline constexpr std::size_t kKeepLockBelow = 4096;

/// Whether an evaluation of n elements that cost `element_cost` additions
/// each keeps the interpreter lock: a short one that the pool takes no piece
/// of (a costly one may go to the pool sooner, and is never waited for with
/// the lock held).
inline bool keeps_lock(std::size_t n, std::size_t element_cost) {
  return n < kKeepLockBelow && !uses_pool(n, element_cost);
}

/// An evaluation made ready with the interpreter lock held: the engine may
/// run it on any thread, touching no Python object, while this is alive.
struct PreparedEvaluation {
  CompiledKernelRef compiled;
  /// One per operand: its memory (held by a view) or its number.
  std::vector<SlotSource> sources;
  /// Where the values go: the output array's memory (empty: nothing to compute).
  std::span<double> target;
  /// The output array: the caller's `out`, or a new one.
  PyRef result;
  /// The operands' views, then the view of a caller's `out`; released with
  /// the interpreter lock held.
  std::vector<BufferView> views;
};

/// Numbers and float64 arrays of one shape, as the float64 kernels read them
/// where they lie.
struct Float64Operands {
  /// Each number's source; an array's gets its data when it is held.
  std::vector<SlotSource> sources;
  std::vector<std::optional<ArrayOperand>> arrays;
  /// The shape every array has: the one given, else the first array's; none
  /// for numbers alone.
  std::optional<ArrayOperand> shape;
  /// The contiguous layouts that the given ones and every array share.
  int layouts;
};

/// `operands` as numbers and float64 arrays of one shape (`shape`'s, when
/// given) with the contiguous `layouts` narrowed to theirs; nullopt when an
/// operand is anything else.
std::optional<Float64Operands> read_float64_operands(std::span<PyObject* const> operands,
                                                     std::optional<ArrayOperand> shape, int layouts);

/// The type of the package's compiled kernels, which hold a CompiledKernelRef.
LazyType& compiled_kernel_type();

/// `_evaluate_into(kernel, operands, out)` up to the engine call: empty with
/// no error set when the operands cannot be read in place as they are, empty
/// with the error set when an argument is refused. `runs_here`: the caller
/// runs it (`run_evaluation`) before it returns, so that a short one holds no
/// views; else every array is held by a view, for a run on another thread.
std::optional<PreparedEvaluation> prepare_evaluation(const BoundArgs& args, bool runs_here);

/// The same over a compiled kernel, its operands and `out` (None for a new array).
std::optional<PreparedEvaluation> prepare_evaluation(const CompiledKernelRef& kernel,
                                                     std::span<PyObject* const> operands, PyObject* out,
                                                     bool runs_here);

/// The engine call of a prepared evaluation (without the lock unless it was
/// prepared to keep it, holding no views); returns the output array.
PyObject* run_evaluation(PreparedEvaluation& prepared);

/// The module functions `_compile`, `_evaluate_into`, `_get_num_threads` and
/// `_set_num_threads`; and `_MAX_THREADS`, the most threads `_set_num_threads`
/// takes, so that the package never restates the pool's limit.
extern const ModulePart kEvaluatePart;

}  // namespace bmx::py
