// The namespace of one instruction-set level's loops.
//
// The loops of each level are the same sources compiled once per level, with
// that level's flags and BMX_ISA_NS naming the level. Every inline function
// and template those sources instantiate must then be a symbol of its own
// level: were an AVX-512 copy of a shared inline function merged with the
// baseline one, the linker could hand it to baseline callers, which fault on
// processors without AVX-512. Headers that the loops instantiate therefore put
// their functions between BMX_ISA_BEGIN and BMX_ISA_END, which in a level's
// sources opens the level's namespace (and makes its names visible in the
// enclosing one) and elsewhere does nothing.
#pragma once

#if defined(BMX_ISA_NS)
#define BMX_ISA_BEGIN        \
  namespace BMX_ISA_NS {}    \
  using namespace BMX_ISA_NS; \
  namespace BMX_ISA_NS {
#define BMX_ISA_END }
#else
#define BMX_ISA_BEGIN
#define BMX_ISA_END
#endif
