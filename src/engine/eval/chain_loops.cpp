// The pick of one level's chain loops.
#include "chain_loops.h"

namespace bmx {

const ChainLoops& chain_loops(IsaLevel level) {
#if defined(BMX_ISA_LEVELS)
  if (level == IsaLevel::Avx512) return isa_avx512::level_chains();
  if (level == IsaLevel::Avx2) return isa_avx2::level_chains();
#else
  static_cast<void>(level);
#endif
  return isa_baseline::level_chains();
}

}  // namespace bmx
