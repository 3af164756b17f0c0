// The one lookup of a typed loop, in the table of the active level.
#include "typed_loops.h"

#include "isa_loops.h"

namespace bmx {

TypedLoop find_loop(TypedOp op, ElementType type) {
  const IsaLoops& loops = active_loops();
  if (TypedLoop loop = loops.integer_loop(op, type)) return loop;
  if (TypedLoop loop = loops.real_loop(op, type)) return loop;
  return loops.complex_loop(op, type);
}

CastLoop find_cast(ElementType from, ElementType to) { return active_loops().cast(from, to); }

SelectLoop find_select(std::size_t size) { return active_loops().select(size); }

}  // namespace bmx
