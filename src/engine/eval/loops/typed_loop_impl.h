// The templates every family of typed loops instantiates: which operations a
// type has, and the loop that applies one to arrays.
#pragma once

#include <cstddef>

#include "../../isa/isa_namespace.h"
#include "../typed_loops.h"
#include "../typed_values.h"

namespace bmx::typed {
BMX_ISA_BEGIN

/// The value of `op` over one element (two for binary operations), with the
/// type the result rule gives; `ok` turns false for an element without one.
template <TypedOp op, class T>
struct Apply {};

/// Whether `Apply<op, T>` exists: the operation is defined for the type.
template <TypedOp op, class T>
concept Defined = requires(T x, bool& ok) { Apply<op, T>::value(x, x, ok); };

template <TypedOp op, class T>
bool typed_loop(void* out, const void* left, const void* right, std::size_t n) {
  using Result = decltype(Apply<op, T>::value(T{}, T{}, std::declval<bool&>()));
  auto* const target = static_cast<Result*>(out);
  const auto* const a = static_cast<const T*>(left);
  bool ok = true;
  // Programs pass a right operand to the binary operations and to them alone:
  // each loop is compiled for its own arity, not twice.
  if constexpr (typed_info(op).arity == 1) {
    for (std::size_t k = 0; k < n; ++k) target[k] = Apply<op, T>::value(a[k], T{}, ok);
  } else {
    const auto* const b = static_cast<const T*>(right);
    for (std::size_t k = 0; k < n; ++k) target[k] = Apply<op, T>::value(a[k], b[k], ok);
  }
  return ok;
}

/// Whether this level builds the loops of `op` (see Levels).
template <TypedOp op>
constexpr bool built_at_this_level() {
#if defined(BMX_ISA_WIDE)
  return typed_info(op).levels == Levels::All;
#else
  return true;
#endif
}

/// The loop of the run-time `op` over `T`, or null (also for an operation
/// this level leaves to the baseline).
template <class T>
TypedLoop loop_of(TypedOp op) {
  switch (op) {
#define BMX_TYPED_LOOP_CASE(name, ...)                                                                         \
  case TypedOp::name:                                                                                          \
    if constexpr (Defined<TypedOp::name, T> && built_at_this_level<TypedOp::name>()) {                        \
      return &typed_loop<TypedOp::name, T>;                                                                    \
    }                                                                                                          \
    return nullptr;
    BMX_TYPED_OPS(BMX_TYPED_LOOP_CASE)
#undef BMX_TYPED_LOOP_CASE
  }
  return nullptr;
}

/// `loop_of` over the element type of whichever of `Types` `type` is, or
/// null for another type.
template <ElementType... Types>
TypedLoop loop_of_any(TypedOp op, ElementType type) {
  TypedLoop found = nullptr;
  (void)((type == Types && (found = loop_of<value_of<Types>>(op), true)) || ...);
  return found;
}

BMX_ISA_END
}  // namespace bmx::typed
