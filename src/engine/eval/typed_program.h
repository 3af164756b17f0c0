// TypedProgram: a post-order program whose every value has an element type.
//
// The caller (the package, which asks NumPy) decides the types: each Apply
// names the loop it runs by its operands' type, and wherever NumPy would
// convert an operand the program holds an explicit Cast. Compiling checks
// the types, finds every loop, and turns the stack into operand indices, so
// that running it walks a list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../ir/dtype.h"
#include "../result.h"
#include "fast_math.h"
#include "typed_loops.h"
#include "typed_ops.h"

namespace bmx {

/// Instruction kinds; the numbers are part of the package's interface.
enum class TypedKind : std::uint8_t {
  Constant = 0,  ///< pushes constants[payload], of `type`
  Load = 1,      ///< pushes input `payload`, which has `type`
  Cast = 2,      ///< converts the top value to `type`
  Apply = 3,     ///< applies operation `op` to operands of `type`
  Where = 4,     ///< (bool condition, a, b), a and b of `type`
  Repeat = 5,    ///< pushes again the value of step `payload` (steps count every other kind)
};

/// One element's bytes, as the element type lays them out.
using ElementBytes = std::array<unsigned char, 16>;

struct TypedInstr {
  TypedKind kind;
  std::uint8_t op;
  ElementType type;
  std::uint64_t payload;
};

/// One compiled step: the value it makes, from the values of earlier steps.
struct TypedStep {
  TypedKind kind;
  ElementType type;  ///< the type of the value it makes
  std::uint8_t arity = 0;  ///< of an Apply
  std::array<std::uint32_t, 3> operands{};
  std::uint64_t payload = 0;
  TypedLoop loop = nullptr;
  CastLoop cast = nullptr;
  SelectLoop select = nullptr;
};

class TypedProgram {
 public:
  /// Checks `instrs` against the types and compiles them. Refuses (ArgError,
  /// in words) a program where an operand has the wrong type, an operation
  /// has no loop for its type, a Load names an input beyond `input_count`, a
  /// Repeat names a step not made yet, or the stack does not end with one
  /// value (which is then the last step's: every instruction but a Repeat
  /// makes a step). In fast math the transcendental functions over float32
  /// and float64 take the fast loops; the caller checks first that fast math
  /// is not missing.
  static Result<TypedProgram> compile(const std::vector<TypedInstr>& instrs, std::vector<ElementBytes> constants,
                                      std::size_t input_count, MathMode math = MathMode::Libm);

  const std::vector<TypedStep>& steps() const { return steps_; }
  const std::vector<ElementBytes>& constants() const { return constants_; }
  /// The types the inputs must have, by index (Bool for one no Load reads).
  const std::vector<ElementType>& input_types() const { return input_types_; }
  ElementType result_type() const { return steps_.back().type; }
  /// What one element costs, in additions: its operations' costs in the
  /// loops they run (the function table's columns), a cast or a where one
  /// each, reading a value nothing.
  std::size_t element_cost() const { return element_cost_; }

 private:
  TypedProgram() = default;

  std::vector<TypedStep> steps_;
  std::vector<ElementBytes> constants_;
  std::vector<ElementType> input_types_;
  std::size_t element_cost_ = 0;
};

}  // namespace bmx
