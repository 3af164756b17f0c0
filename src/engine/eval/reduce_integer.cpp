#include "reduce_integer.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "../internal_failure.h"

namespace bmx {

namespace {

template <class T>
void reduce_rows_of(const T* values, std::size_t rows, std::size_t columns, ReduceOp op, void* out) {
  using Wide = std::conditional_t<std::is_unsigned_v<T> && !std::is_same_v<T, bool>, std::uint64_t, std::int64_t>;
  using Unsigned = std::make_unsigned_t<Wide>;
  auto* const target = static_cast<Wide*>(out);
  check(columns > 0 || op == ReduceOp::Sum || op == ReduceOp::Prod, "minimum or maximum of no element");
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
        for (std::size_t k = 1; k < columns; ++k) extreme = std::min(extreme, static_cast<Wide>(line[k]));
        target[row] = extreme;
        break;
      case ReduceOp::Max:
        for (std::size_t k = 1; k < columns; ++k) extreme = std::max(extreme, static_cast<Wide>(line[k]));
        target[row] = extreme;
        break;
      default: fail(std::string("no integer reduction ") + reduce_op_name(op));
    }
  }
}

}  // namespace

void reduce_integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op,
                         void* out) {
  dispatch_dtype(type, [&](auto code) {
    using T = value_of<decltype(code)::value>;
    if constexpr (std::is_integral_v<T>) {
      reduce_rows_of(static_cast<const T*>(data), rows, columns, op, out);
    } else {
      fail("integer reduction of another element type");
    }
  });
}

}  // namespace bmx
