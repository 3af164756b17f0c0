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
/// with `vector` the width's form of f and `scalar` its one-element form.
using FastKernel = void (*)(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);

void fast_f64_scalar(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);
void fast_f32_scalar(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);
void fast_f64_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);
void fast_f32_avx2(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);
void fast_f64_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);
void fast_f32_avx512(SleefAny vector, SleefAny scalar, void* out, const void* a, const void* b, std::size_t n);

}  // namespace bmx
