#include "isa_level.h"

#include <atomic>
#include <string>

namespace bmx {

namespace {

IsaLevel detect() noexcept {
#if defined(__x86_64__) && defined(BMX_ISA_LEVELS)
  // GCC's checks include the operating system's consent (XGETBV) to keep the
  // wider registers across context switches.
  __builtin_cpu_init();
  const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512cd") &&
                      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                      __builtin_cpu_supports("avx512vl");
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                    __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("f16c");
  if (avx2 && avx512) return IsaLevel::Avx512;
  if (avx2) return IsaLevel::Avx2;
#endif
  return IsaLevel::Baseline;
}

std::atomic<IsaLevel>& active() noexcept {
  static std::atomic<IsaLevel> level{supported_isa()};
  return level;
}

}  // namespace

IsaLevel supported_isa() noexcept {
  static const IsaLevel level = detect();
  return level;
}

IsaLevel active_isa() noexcept { return active().load(std::memory_order_relaxed); }

Result<IsaLevel> force_isa(IsaLevel level) {
  if (static_cast<int>(level) < 0 || level > supported_isa()) {
    const std::string name(isa_name(level));
    return ComputeError::arg("this processor does not support the instruction level '" + name + "'");
  }
  return active().exchange(level, std::memory_order_relaxed);
}

std::string_view isa_name(IsaLevel level) noexcept {
  switch (level) {
    case IsaLevel::Baseline: return "baseline";
    case IsaLevel::Avx2: return "avx2";
    case IsaLevel::Avx512: return "avx512";
  }
  return "unknown";
}

}  // namespace bmx
