// The table of this level's loops.
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

constexpr IsaLoops kLoops{&kFlatLoops,      &kTreeLoops,      &integer_loop_for, &real_loop_for, &complex_loop_for,
                          &cast_loop_for,   &select_loop_for, &min_scan,         &max_scan,      &integer_rows};

}  // namespace

const IsaLoops& level_loops() { return kLoops; }

BMX_ISA_END
}  // namespace bmx
