// KernelCache: the process-wide memo of compiled kernels, keyed by tree structure.
#pragma once

#include "compiled_kernel.h"

namespace bmx {

class KernelCache {
 public:
  /// The process-wide cache, created empty on first use and never cleared.
  static KernelCache& global();

  /// The compiled kernel of `tree`'s structure, compiling it on a miss (outside
  /// every lock). All callers of one structure get the same shared kernel.
  CompiledKernelRef get_or_compile(const ExprTree& tree);
};

}  // namespace bmx
