#include "reduce_integer.h"

#include <string>
#include <type_traits>

#include "../internal_failure.h"
#include "isa_loops.h"

namespace bmx {

void reduce_integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op,
                         void* out) {
  check(columns > 0 || op == ReduceOp::Sum || op == ReduceOp::Prod, "minimum or maximum of no element");
  if (op != ReduceOp::Sum && op != ReduceOp::Prod && op != ReduceOp::Min && op != ReduceOp::Max) {
    fail(std::string("no integer reduction ") + reduce_op_name(op));
  }
  dispatch_dtype(type, [](auto code) {
    if constexpr (!std::is_integral_v<value_of<decltype(code)::value>>) {
      fail("integer reduction of another element type");
    }
  });
  active_loops().integer_rows(data, type, rows, columns, op, out);
}

}  // namespace bmx
