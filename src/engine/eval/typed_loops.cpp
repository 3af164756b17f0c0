// The one lookup of a typed loop, in the table of the active level.
#include "typed_loops.h"

#include <initializer_list>

#include "isa_loops.h"

namespace bmx {

TypedLoop find_loop(TypedOp op, ElementType type) {
  // The wider levels leave some loops to the baseline's.
  for (const IsaLoops* loops : {&active_loops(), &isa_loops(IsaLevel::Baseline)}) {
    for (const auto family : {loops->integer_loop, loops->real_loop, loops->complex_loop}) {
      if (family == nullptr) continue;
      if (TypedLoop loop = family(op, type)) return loop;
    }
  }
  return nullptr;
}

CastLoop find_cast(ElementType from, ElementType to) { return active_loops().cast(from, to); }

SelectLoop find_select(std::size_t size) { return active_loops().select(size); }

}  // namespace bmx
