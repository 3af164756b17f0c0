// The instruction-set levels the engine's loops are built for, and the one
// this process runs. One build serves every x86-64 machine: each level's
// loops live in their own translation units, compiled with that level's
// flags, and the best level the processor and the operating system support
// is chosen once. Tests and benchmarks may lower it to compare levels on one
// machine; every level gives the same bits.
#pragma once

#include <string_view>

#include "../result.h"

namespace bmx {

enum class IsaLevel : int {
  Baseline = 0,  // x86-64 as every such processor has it (SSE2)
  Avx2 = 1,      // AVX2 with fused multiply-add (x86-64-v3)
  Avx512 = 2,    // AVX-512 F, CD, BW, DQ and VL (x86-64-v4)
};

// The best level this processor and operating system support.
IsaLevel supported_isa() noexcept;

// The level the engine's loops run at: supported_isa() unless forced.
IsaLevel active_isa() noexcept;

// Makes `level` the active level for the whole process and returns the
// previous one; refuses (ArgError) a level above supported_isa() and keeps
// the active one.
Result<IsaLevel> force_isa(IsaLevel level);

// "baseline", "avx2" or "avx512".
std::string_view isa_name(IsaLevel level) noexcept;

}  // namespace bmx
