// The table of this level's loops.
#include "level_parts.h"

namespace bmx {
BMX_ISA_BEGIN

namespace {

#if defined(BMX_ISA_WIDE)
// The complex loops are not vectorised at any level (see the build), so the
// baseline's serve every level.
constexpr auto kComplexLoops = nullptr;
#else
constexpr auto kComplexLoops = &typed::complex_loop_for;
#endif

constexpr IsaLoops kLoops{&kFlatLoops,    &kTreeLoops,      &typed::integer_loop_for, &typed::real_loop_for, kComplexLoops,
                          &cast_loop_for, &select_loop_for, &min_scan,         &max_scan,      &integer_rows,
                          &kExactFrontLoops, &kChainLoops};

}  // namespace

const IsaLoops& level_loops() { return kLoops; }

BMX_ISA_END
}  // namespace bmx
