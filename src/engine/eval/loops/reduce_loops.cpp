// The reductions' scans of this level: Min and Max of float64 in lanes of
// the level's vector width, and the integer reductions, which the compiler
// vectorises. Their results do not depend on the width (see extreme_scan).
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

#if defined(__AVX512F__)
constexpr std::size_t kVectorBytes = 64;
#elif defined(__AVX__)
constexpr std::size_t kVectorBytes = 32;
#else
constexpr std::size_t kVectorBytes = 16;
#endif
using Lanes = double __attribute__((vector_size(kVectorBytes)));
using LaneMask = std::int64_t __attribute__((vector_size(kVectorBytes)));
constexpr std::size_t kLanes = kVectorBytes / sizeof(double);
/// Independent accumulators, so that consecutive compares do not wait on
/// each other.
constexpr std::size_t kAccumulators = 4;
constexpr std::size_t kStep = kLanes * kAccumulators;
/// NaNs are checked once per chunk, so a NaN stops the scan early.
constexpr std::size_t kChunk = 1024;

template <bool kMax>
bool improves(double x, double running) {
  return kMax ? x > running : x < running;
}

/// The running rule from `running`, which is not NaN: the first NaN met ends
/// the walk and is the result.
template <bool kMax>
double sequential_extreme(const double* values, std::size_t n, double running) {
  for (std::size_t k = 0; k < n; ++k) {
    if (std::isnan(values[k])) return values[k];
    if (improves<kMax>(values[k], running)) running = values[k];
  }
  return running;
}

/// The sequential Min (or Max) rule, faster. The lanes track the extreme out
/// of index order; that cannot change the value, since doubles that compare
/// equal are bitwise equal unless they are zeros of opposite sign, and then
/// the sequential rule keeps the first zero, which a second scan finds.
template <bool kMax>
double extreme_scan(const double* values, std::size_t n) {
  constexpr double kStart = kMax ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  const std::size_t vector_end = n / kStep * kStep;
  Lanes lanes[kAccumulators];
  for (Lanes& lane : lanes) lane = Lanes{} + kStart;
  for (std::size_t chunk = 0; chunk < vector_end; chunk += kChunk) {
    const std::size_t chunk_end = chunk + kChunk < vector_end ? chunk + kChunk : vector_end;
    LaneMask unordered{};
    for (std::size_t i = chunk; i < chunk_end; i += kStep) {
      for (std::size_t j = 0; j < kAccumulators; ++j) {
        Lanes x;
        __builtin_memcpy(&x, values + i + j * kLanes, sizeof x);
        // `x < lane ? x : lane` per lane, the sequential rule.
        lanes[j] = (kMax ? x > lanes[j] : x < lanes[j]) ? x : lanes[j];
        unordered |= x != x;
      }
    }
    bool any_nan = false;
    for (std::size_t j = 0; j < kLanes; ++j) any_nan = any_nan || unordered[j] != 0;
    if (any_nan) return sequential_extreme<kMax>(values + chunk, chunk_end - chunk, kStart);
  }
  double running = kStart;
  for (const Lanes& lane : lanes) {
    for (std::size_t j = 0; j < kLanes; ++j) running = sequential_extreme<kMax>(&lane[j], 1, running);
  }
  running = sequential_extreme<kMax>(values + vector_end, n - vector_end, running);
  if (running != 0.0) return running;
  std::size_t first_zero = 0;
  while (values[first_zero] != 0.0) ++first_zero;
  return values[first_zero];
}

template <class T>
void rows_of(const T* values, std::size_t rows, std::size_t columns, ReduceOp op, void* out) {
  using Wide = std::conditional_t<std::is_unsigned_v<T> && !std::is_same_v<T, bool>, std::uint64_t, std::int64_t>;
  using Unsigned = std::make_unsigned_t<Wide>;
  auto* const target = static_cast<Wide*>(out);
  for (std::size_t row = 0; row < rows; ++row) {
    const T* const line = values + row * columns;
    // Sums and products wrap as unsigned arithmetic does, which is defined.
    Unsigned total = op == ReduceOp::Prod ? 1 : 0;
    Wide extreme = columns > 0 ? static_cast<Wide>(line[0]) : 0;
    switch (op) {
      case ReduceOp::Sum:
        for (std::size_t k = 0; k < columns; ++k) total += static_cast<Unsigned>(static_cast<Wide>(line[k]));
        target[row] = static_cast<Wide>(total);
        break;
      case ReduceOp::Prod:
        for (std::size_t k = 0; k < columns; ++k) total *= static_cast<Unsigned>(static_cast<Wide>(line[k]));
        target[row] = static_cast<Wide>(total);
        break;
      case ReduceOp::Min:
        for (std::size_t k = 1; k < columns; ++k) {
          const auto x = static_cast<Wide>(line[k]);
          extreme = x < extreme ? x : extreme;
        }
        target[row] = extreme;
        break;
      default:
        for (std::size_t k = 1; k < columns; ++k) {
          const auto x = static_cast<Wide>(line[k]);
          extreme = x > extreme ? x : extreme;
        }
        target[row] = extreme;
        break;
    }
  }
}

template <class T>
void rows_if_integer(const void* data, std::size_t rows, std::size_t columns, ReduceOp op, void* out) {
  if constexpr (std::is_integral_v<T>) rows_of(static_cast<const T*>(data), rows, columns, op, out);
}

}  // namespace

double min_scan(const double* values, std::size_t n) { return extreme_scan<false>(values, n); }

double max_scan(const double* values, std::size_t n) { return extreme_scan<true>(values, n); }

void integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op,
                  void* out) {
  switch (type) {
#define BMX_INTEGER_ROWS_CASE(name, code, text, type) \
  case ElementType::name: rows_if_integer<type>(data, rows, columns, op, out); break;
    BMX_DTYPES(BMX_INTEGER_ROWS_CASE)
#undef BMX_INTEGER_ROWS_CASE
  }
}

BMX_ISA_END
}  // namespace bmx
