// The parts of one level's loop table, each defined in one of the level's
// sources.
#pragma once

#include "../../isa/isa_namespace.h"
#include "../isa_loops.h"

namespace bmx {
BMX_ISA_BEGIN

extern const FlatLoops kFlatLoops;
extern const TreeLoops kTreeLoops;
TypedLoop integer_loop_for(TypedOp op, ElementType type);
TypedLoop real_loop_for(TypedOp op, ElementType type);
TypedLoop complex_loop_for(TypedOp op, ElementType type);
CastLoop cast_loop_for(ElementType from, ElementType to);
SelectLoop select_loop_for(std::size_t size);
double min_scan(const double* values, std::size_t n);
double max_scan(const double* values, std::size_t n);
void integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op, void* out);

BMX_ISA_END
}  // namespace bmx
