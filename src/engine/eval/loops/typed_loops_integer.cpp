// The loops over bool and the integer types.
#include <type_traits>

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx::typed {
BMX_ISA_BEGIN

namespace {

template <TypedOp op>
constexpr bool integer_has() {
  using enum TypedOp;
  return op == Negative || op == Absolute || op == Sign || op == Floor || op == Ceil || op == Trunc || op == Rint ||
         op == Isnan || op == Isinf || op == Isfinite || op == Invert || op == Conjugate || op == Add ||
         op == Subtract || op == Multiply || op == FloorDivide || op == Remainder || op == Power || op == Fmin ||
         op == Fmax || op == Minimum || op == Maximum || op == BitwiseAnd || op == BitwiseOr || op == BitwiseXor ||
         op == LeftShift || op == RightShift || is_comparison<op>();
}

// NumPy's bool loops: + is or, * is and, the extremes are and and or.
template <TypedOp op>
constexpr bool bool_has() {
  using enum TypedOp;
  return op == Isnan || op == Isinf || op == Isfinite || op == Invert || op == Absolute || op == Add ||
         op == Multiply || op == Fmin ||
         op == Fmax || op == Minimum || op == Maximum || op == BitwiseAnd || op == BitwiseOr || op == BitwiseXor ||
         op == Conjugate || op == Floor || op == Ceil || op == Trunc || op == Rint || is_comparison<op>();
}

}  // namespace

template <TypedOp op, Integer T>
  requires(integer_has<op>())
struct Apply<op, T> {
  static constexpr auto value(T l, T r, bool& ok) {
    using enum TypedOp;
    using W = Wrap<T>;
    if constexpr (is_comparison<op>()) {
      return compare<op>(l, r);
    } else if constexpr (op == Isnan || op == Isinf) {
      return false;
    } else if constexpr (op == Isfinite) {
      return true;
    } else if constexpr (op == Negative) {
      return static_cast<T>(W{0} - static_cast<W>(l));
    } else if constexpr (op == Absolute) {
      if constexpr (std::is_signed_v<T>) return l < 0 ? static_cast<T>(W{0} - static_cast<W>(l)) : l;
      return l;
    } else if constexpr (op == Sign) {
      return static_cast<T>((l > 0) - (l < 0));
    } else if constexpr (op == Floor || op == Ceil || op == Trunc || op == Rint || op == Conjugate) {
      return l;
    } else if constexpr (op == Add) {
      return static_cast<T>(static_cast<W>(l) + static_cast<W>(r));
    } else if constexpr (op == Subtract) {
      return static_cast<T>(static_cast<W>(l) - static_cast<W>(r));
    } else if constexpr (op == Multiply) {
      return static_cast<T>(static_cast<W>(l) * static_cast<W>(r));
    } else if constexpr (op == FloorDivide) {
      return floor_divide(l, r);
    } else if constexpr (op == Remainder) {
      return remainder(l, r);
    } else if constexpr (op == Power) {
      return power(l, r, ok);
    } else if constexpr (op == Fmin || op == Minimum) {
      return r < l ? r : l;
    } else if constexpr (op == Fmax || op == Maximum) {
      return r > l ? r : l;
    } else if constexpr (op == BitwiseAnd) {
      return static_cast<T>(l & r);
    } else if constexpr (op == BitwiseOr) {
      return static_cast<T>(l | r);
    } else if constexpr (op == BitwiseXor) {
      return static_cast<T>(l ^ r);
    } else if constexpr (op == Invert) {
      return static_cast<T>(~static_cast<W>(l));
    } else if constexpr (op == LeftShift) {
      return left_shift(l, r);
    } else if constexpr (op == RightShift) {
      return right_shift(l, r);
    }
  }
};

template <TypedOp op>
  requires(bool_has<op>())
struct Apply<op, bool> {
  static constexpr bool value(bool l, bool r, bool&) {
    using enum TypedOp;
    if constexpr (is_comparison<op>()) return compare<op>(l, r);
    if constexpr (op == Isnan || op == Isinf) return false;
    if constexpr (op == Isfinite) return true;
    if constexpr (op == Invert) return !l;
    if constexpr (op == Floor || op == Ceil || op == Trunc || op == Rint || op == Conjugate || op == Absolute) {
      return l;
    }
    if constexpr (op == Add || op == BitwiseOr || op == Fmax || op == Maximum) return l || r;
    if constexpr (op == Multiply || op == BitwiseAnd || op == Fmin || op == Minimum) return l && r;
    if constexpr (op == BitwiseXor) return l != r;
  }
};

BMX_ISA_END
}  // namespace bmx::typed

namespace bmx {
BMX_ISA_BEGIN

TypedLoop integer_loop_for(TypedOp op, ElementType type) {
  using namespace typed;
  switch (type) {
    case ElementType::Bool: return loop_of<bool>(op);
    case ElementType::Int8: return loop_of<std::int8_t>(op);
    case ElementType::Int16: return loop_of<std::int16_t>(op);
    case ElementType::Int32: return loop_of<std::int32_t>(op);
    case ElementType::Int64: return loop_of<std::int64_t>(op);
    case ElementType::UInt8: return loop_of<std::uint8_t>(op);
    case ElementType::UInt16: return loop_of<std::uint16_t>(op);
    case ElementType::UInt32: return loop_of<std::uint32_t>(op);
    case ElementType::UInt64: return loop_of<std::uint64_t>(op);
    default: return nullptr;
  }
}

BMX_ISA_END
}  // namespace bmx
