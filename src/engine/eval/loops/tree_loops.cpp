// The tree engine's loops of this level: each node's operator over a set of
// a block's elements, in place. A dense set's loops are contiguous and
// vectorise; a Select's branch sets go through their offset lists.
#include "../element_sets.h"
#include "../operators.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

template <UnaryOp op>
void unary_loop(double* values, const std::uint32_t* offsets, std::size_t count) {
  for_each_offset(offsets, count, [values](std::size_t s) { values[s] = unary_value<op>(values[s]); });
}

template <class Op>
void combine_loop(double* values, const std::uint32_t* offsets, std::size_t count, const double* second,
                  double scalar, bool right_first) {
  if (second == nullptr) {
    if (right_first) {
      for_each_offset(offsets, count, [=](std::size_t s) { values[s] = Op::value(scalar, values[s]); });
    } else {
      for_each_offset(offsets, count, [=](std::size_t s) { values[s] = Op::value(values[s], scalar); });
    }
  } else if (right_first) {
    for_each_offset(offsets, count, [=](std::size_t s) { values[s] = Op::value(second[s], values[s]); });
  } else {
    for_each_offset(offsets, count, [=](std::size_t s) { values[s] = Op::value(values[s], second[s]); });
  }
}

template <BinaryOp op>
struct Binary {
  static double value(double l, double r) { return binary_value<op>(l, r); }
};

template <CompareOp op>
struct Compare {
  static double value(double l, double r) { return compare_value<op>(l, r); }
};

}  // namespace

#define BMX_UNARY_ENTRY(name, code) &unary_loop<UnaryOp::name>,
#define BMX_BINARY_ENTRY(name, code) &combine_loop<Binary<BinaryOp::name>>,
#define BMX_COMPARE_ENTRY(name, code) &combine_loop<Compare<CompareOp::name>>,
const TreeLoops kTreeLoops{{BMX_UNARY_OPS(BMX_UNARY_ENTRY)},
                           {BMX_BINARY_OPS(BMX_BINARY_ENTRY)},
                           {BMX_COMPARE_OPS(BMX_COMPARE_ENTRY)}};
#undef BMX_UNARY_ENTRY
#undef BMX_BINARY_ENTRY
#undef BMX_COMPARE_ENTRY

BMX_ISA_END
}  // namespace bmx
