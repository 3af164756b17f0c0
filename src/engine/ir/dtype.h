// The element types of typed evaluation, named as NumPy names its dtypes.
// Each entry gives its code explicitly: codes travel between the package and
// the engine, and the list's order carries no meaning.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "../internal_failure.h"

namespace bmx {

/// float16 has no arithmetic of its own (NumPy's half loops compute in
/// float32 and round each result), so it is stored as its bits and only cast.
struct Half {
  std::uint16_t bits;
};

#define BMX_DTYPES(X)                        \
  X(Bool, 0, "bool", bool)                   \
  X(Int8, 1, "int8", std::int8_t)            \
  X(Int16, 2, "int16", std::int16_t)         \
  X(Int32, 3, "int32", std::int32_t)         \
  X(Int64, 4, "int64", std::int64_t)         \
  X(UInt8, 5, "uint8", std::uint8_t)         \
  X(UInt16, 6, "uint16", std::uint16_t)      \
  X(UInt32, 7, "uint32", std::uint32_t)      \
  X(UInt64, 8, "uint64", std::uint64_t)      \
  X(Float16, 9, "float16", Half)             \
  X(Float32, 10, "float32", float)           \
  X(Float64, 11, "float64", double)          \
  X(Complex64, 12, "complex64", std::complex<float>) \
  X(Complex128, 13, "complex128", std::complex<double>)

#define BMX_DTYPE_ENUMERATOR(name, code, text, type) name = code,
enum class ElementType : std::uint8_t { BMX_DTYPES(BMX_DTYPE_ENUMERATOR) };
#undef BMX_DTYPE_ENUMERATOR

inline constexpr std::size_t kDTypeCount = 14;

/// The C++ type that holds one element of `D`.
template <ElementType D>
struct dtype_traits;
#define BMX_DTYPE_TRAITS(name, code, text, type) \
  template <>                                    \
  struct dtype_traits<ElementType::name> {             \
    using value_type = type;                     \
  };
BMX_DTYPES(BMX_DTYPE_TRAITS)
#undef BMX_DTYPE_TRAITS

template <ElementType D>
using value_of = typename dtype_traits<D>::value_type;

/// Whether `code` names a dtype.
constexpr bool is_dtype_code(std::uint64_t code) { return code < kDTypeCount; }

constexpr std::size_t dtype_size(ElementType type) {
  switch (type) {
#define BMX_DTYPE_SIZE(name, code, text, type) \
  case ElementType::name: return sizeof(type);
    BMX_DTYPES(BMX_DTYPE_SIZE)
#undef BMX_DTYPE_SIZE
  }
  return 0;
}

constexpr std::string_view dtype_name(ElementType type) {
  switch (type) {
#define BMX_DTYPE_NAME(name, code, text, type) \
  case ElementType::name: return text;
    BMX_DTYPES(BMX_DTYPE_NAME)
#undef BMX_DTYPE_NAME
  }
  return "?";
}

/// The real type of a complex type's parts; any other type itself.
constexpr ElementType real_part_type(ElementType type) {
  if (type == ElementType::Complex64) return ElementType::Float32;
  if (type == ElementType::Complex128) return ElementType::Float64;
  return type;
}

/// Calls fn(std::integral_constant<ElementType, D>{}) for the run-time `type`.
template <class Fn>
decltype(auto) dispatch_dtype(ElementType type, Fn&& fn) {
  switch (type) {
#define BMX_DTYPE_CASE(name, code, text, type) \
  case ElementType::name: return fn(std::integral_constant<ElementType, ElementType::name>{});
    BMX_DTYPES(BMX_DTYPE_CASE)
#undef BMX_DTYPE_CASE
  }
  fail("unknown dtype code " + std::to_string(static_cast<int>(type)));
}

}  // namespace bmx
