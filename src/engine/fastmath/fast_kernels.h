// The loops that apply one SLEEF function to arrays, one per element type and
// width. Each width's loops live in a translation unit built with that
// width's instructions and are called only where the processor has them
// (fast math needs AVX2 with FMA even at one element a time: the scalar
// functions fuse multiply-adds). The vector loops finish their arrays with
// the scalar function, which gives the same bits.
#pragma once

#include <cstddef>

#include "sleef_library.h"

namespace bmx {

/// Writes f(a[k]) (f(a[k], b[k]) when `b` is not null) to out[k] for k < n,
/// with `vector` the form of f for vectors of `kBytes` and `scalar` its
/// one-element form. Defined for T of double and float, and kBytes of 32
/// (AVX2 with FMA) and 64 (AVX-512F).
template <class T, std::size_t kBytes>
void fast_kernel(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);

}  // namespace bmx
