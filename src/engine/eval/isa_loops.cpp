#include "isa_loops.h"

namespace bmx {

const IsaLoops& isa_loops(IsaLevel level) {
#if defined(BMX_ISA_LEVELS)
  if (level == IsaLevel::Avx512) return isa_avx512::level_loops();
  if (level == IsaLevel::Avx2) return isa_avx2::level_loops();
#else
  static_cast<void>(level);
#endif
  return isa_baseline::level_loops();
}

}  // namespace bmx
