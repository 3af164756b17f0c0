// The exact sums' fast front at this level's vector width. The sums' bits
// do not depend on it: the front only regroups exact additions.
#include "../exact_front.h"
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

template <class Value>
FrontBlock block(FrontLanes<kFrontLanes>& lanes, const Value* first, std::size_t rows, double* spill, bool keep) {
  return keep ? add_front_block<true>(lanes, first, rows, spill) : add_front_block<false>(lanes, first, rows, spill);
}

template <class Value>
FrontBlock columns(double* high, double* low, const Value* first, std::size_t rows, std::size_t stride,
                   std::size_t count, double* spill, bool keep) {
  return keep ? add_front_columns<true>(high, low, first, rows, stride, count, spill)
              : add_front_columns<false>(high, low, first, rows, stride, count, spill);
}

}  // namespace

const ExactFrontLoops kExactFrontLoops{&block<double>, &block<float>, &columns<double>, &columns<float>};

BMX_ISA_END
}  // namespace bmx
