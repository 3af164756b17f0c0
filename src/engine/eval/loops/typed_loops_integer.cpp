// The loops over bool and the integer types.
#include <cstdint>
#include <type_traits>

#include "level_parts.h"
#include "typed_loop_impl.h"

namespace bmx::typed {
BMX_ISA_BEGIN

template <TypedOp op, Integer T>
  requires(has_family(op, Family::Integer))
struct Apply<op, T> {
  static constexpr auto value(T l, T r, bool& ok) {
    using enum TypedOp;
    using W = Wrap<T>;
    if constexpr (is_comparison(op)) {
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
    } else if constexpr (op == Fmod) {
      return truncated_remainder(l, r);
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

// NumPy's bool loops: + is or, * is and, the extremes are and and or.
template <TypedOp op>
  requires(has_family(op, Family::Bool))
struct Apply<op, bool> {
  static constexpr bool value(bool l, bool r, bool&) {
    using enum TypedOp;
    if constexpr (is_comparison(op)) return compare<op>(l, r);
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

namespace {

/// Floor division of signed values by one positive divisor d, as a multiply
/// by a reciprocal (Granlund and Montgomery, "Division by invariant integers
/// using multiplication", 1994, theorem 4.2 with N = 63): for 0 <= u < 2^63,
/// u / d = (u * m) >> (63 + l), where l = ceil(log2 d) and
/// m = floor(2^(63 + l) / d) + 1 < 2^64. A negative n is floored through
/// its complement, floor(n / d) = ~(~n / d), whose ~n is in that range.
class ByPositive {
 public:
  explicit ByPositive(std::int64_t d) : d_(d) {
    while ((std::uint64_t{1} << shift_) < static_cast<std::uint64_t>(d)) ++shift_;
    __extension__ using Wide = unsigned __int128;
    magic_ = static_cast<std::uint64_t>((Wide{1} << (63 + shift_)) / static_cast<std::uint64_t>(d)) + 1;
  }

  std::int64_t quotient(std::int64_t n) const {
    if (d_ == 1) return n;
    __extension__ using Wide = unsigned __int128;
    const std::uint64_t sign = static_cast<std::uint64_t>(n >> 63);
    const std::uint64_t u = static_cast<std::uint64_t>(n) ^ sign;
    const auto high = static_cast<std::uint64_t>((static_cast<Wide>(u) * magic_) >> 64);
    return static_cast<std::int64_t>((high >> (shift_ - 1)) ^ sign);
  }

  std::int64_t divisor() const { return d_; }

 private:
  std::int64_t d_;
  unsigned shift_ = 0;
  std::uint64_t magic_ = 0;
};

/// Whether every one of the n values equals the first: a number the program
/// broadcast into a block, or an array that holds one value.
template <class T>
bool uniform(const T* values, std::size_t n) {
  bool same = true;
  for (std::size_t k = 1; k < n; ++k) same &= values[k] == values[0];
  return same;
}

/// `//` and `%` of signed integers: by a reciprocal when the divisor is one
/// positive number (an integer division costs tens of cycles, a multiply a
/// few), else element by element. Both give NumPy's floored results.
template <TypedOp op, Integer T>
bool division_loop(void* out, const void* left, const void* right, std::size_t n) {
  const auto* const r = static_cast<const T*>(right);
  if (n == 0 || r[0] <= 0 || !uniform(r, n)) return typed_loop<op, T>(out, left, right, n);
  auto* const target = static_cast<T*>(out);
  const auto* const l = static_cast<const T*>(left);
  const ByPositive by(r[0]);
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t quotient = by.quotient(l[k]);
    if constexpr (op == TypedOp::FloorDivide) {
      target[k] = static_cast<T>(quotient);
    } else {
      // l - quotient * d is in [0, d); the product alone may leave 64 bits.
      const auto rest = static_cast<std::uint64_t>(l[k]) -
                        static_cast<std::uint64_t>(quotient) * static_cast<std::uint64_t>(by.divisor());
      target[k] = static_cast<T>(rest);
    }
  }
  return true;
}

}  // namespace

/// The loop of `op` over T, with the divisions by one number taken apart.
template <class T>
TypedLoop integer_loop_of(TypedOp op) {
  if constexpr (std::is_signed_v<T> && built_at_this_level<TypedOp::FloorDivide>()) {
    if (op == TypedOp::FloorDivide) return &division_loop<TypedOp::FloorDivide, T>;
    if (op == TypedOp::Remainder) return &division_loop<TypedOp::Remainder, T>;
  }
  return loop_of<T>(op);
}

TypedLoop integer_loop_for(TypedOp op, ElementType type) {
  switch (type) {
    case ElementType::Bool: return loop_of<bool>(op);
    case ElementType::Int8: return integer_loop_of<std::int8_t>(op);
    case ElementType::Int16: return integer_loop_of<std::int16_t>(op);
    case ElementType::Int32: return integer_loop_of<std::int32_t>(op);
    case ElementType::Int64: return integer_loop_of<std::int64_t>(op);
    case ElementType::UInt8: return integer_loop_of<std::uint8_t>(op);
    case ElementType::UInt16: return integer_loop_of<std::uint16_t>(op);
    case ElementType::UInt32: return integer_loop_of<std::uint32_t>(op);
    case ElementType::UInt64: return integer_loop_of<std::uint64_t>(op);
    default: return nullptr;
  }
}

BMX_ISA_END
}  // namespace bmx::typed
