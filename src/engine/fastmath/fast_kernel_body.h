// The body every fast kernel shares, instantiated by each width's translation
// unit with that width's vector type. Everything here has internal linkage:
// each unit keeps its own copy, built with its own instructions, so the
// linker never lets a baseline caller pick up a wider unit's copy.
#pragma once

#include <cstddef>
#include <cstring>

#include "sleef_library.h"

namespace bmx {
namespace {

/// Elements of type T, Bytes of them at a time. V is the compiler's vector
/// type, which SLEEF's functions of that width take and return by value (the
/// same type as the intrinsics' __m256d, __m512 and the others); copying it
/// from and to memory compiles to unaligned vector moves.
template <class Element, std::size_t Bytes>
struct Lanes {
  using T = Element;
  typedef T V __attribute__((vector_size(Bytes)));
  static constexpr std::size_t kWidth = Bytes / sizeof(T);
  static V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  static void store(T* p, V v) { std::memcpy(p, &v, sizeof v); }
};

/// `Lanes` supplies T, the vector type V, its element count and its
/// unaligned load and store.
template <class Lanes>
void apply_sleef(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n) {
  using T = typename Lanes::T;
  using V = typename Lanes::V;
  constexpr std::size_t kWidth = Lanes::kWidth;
  auto* const target = static_cast<T*>(out);
  const auto* const x = static_cast<const T*>(a);
  const auto* const y = static_cast<const T*>(b);
  std::size_t k = 0;
  if (y == nullptr) {
    const auto f = reinterpret_cast<V (*)(V)>(vector);
    const auto tail = reinterpret_cast<T (*)(T)>(scalar);
    for (; k + kWidth <= n; k += kWidth) Lanes::store(target + k, f(Lanes::load(x + k)));
    for (; k < n; ++k) target[k] = tail(x[k]);
  } else {
    const auto f = reinterpret_cast<V (*)(V, V)>(vector);
    const auto tail = reinterpret_cast<T (*)(T, T)>(scalar);
    for (; k + kWidth <= n; k += kWidth) Lanes::store(target + k, f(Lanes::load(x + k), Lanes::load(y + k)));
    for (; k < n; ++k) target[k] = tail(x[k], y[k]);
  }
}

}  // namespace
}  // namespace bmx
