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

}  // namespace

const ExactFrontLoops kExactFrontLoops{&block<double>, &block<float>, &add_front_columns<double>,
                                          &add_front_columns<float>};

BMX_ISA_END
}  // namespace bmx
