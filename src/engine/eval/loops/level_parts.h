// The parts of one level's loop table, each defined in one of the level's
// sources.
#pragma once

#include <initializer_list>

#include "../../isa/isa_namespace.h"
#include "../isa_loops.h"

namespace bmx {
BMX_ISA_BEGIN

// The operator lists give their codes in order from 0, the tables' indices.
constexpr bool in_code_order(std::initializer_list<int> codes) {
  int expected = 0;
  for (const int code : codes) {
    if (code != expected++) return false;
  }
  return true;
}
#define BMX_CODE(name, code) code,
static_assert(in_code_order({BMX_UNARY_OPS(BMX_CODE)}) && in_code_order({BMX_BINARY_OPS(BMX_CODE)}) &&
              in_code_order({BMX_COMPARE_OPS(BMX_CODE)}));
#undef BMX_CODE

/// A table of loops by operator code (FlatLoops, TreeLoops): the entry of a
/// unary operator is `Entries::unary<op>()`, that of a binary operator or a
/// comparison `Entries::pair<op>()`.
template <class Table, class Entries>
constexpr Table op_table() {
#define BMX_UNARY_ENTRY(name, code) Entries::template unary<UnaryOp::name>(),
#define BMX_BINARY_ENTRY(name, code) Entries::template pair<BinaryOp::name>(),
#define BMX_COMPARE_ENTRY(name, code) Entries::template pair<CompareOp::name>(),
  return {{BMX_UNARY_OPS(BMX_UNARY_ENTRY)}, {BMX_BINARY_OPS(BMX_BINARY_ENTRY)}, {BMX_COMPARE_OPS(BMX_COMPARE_ENTRY)}};
#undef BMX_UNARY_ENTRY
#undef BMX_BINARY_ENTRY
#undef BMX_COMPARE_ENTRY
}

extern const FlatLoops kFlatLoops;
extern const TreeLoops kTreeLoops;
TypedLoop integer_loop_for(TypedOp op, ElementType type);
TypedLoop real_loop_for(TypedOp op, ElementType type);
TypedLoop complex_loop_for(TypedOp op, ElementType type);
CastLoop cast_loop_for(ElementType from, ElementType to);
SelectLoop select_loop_for(std::size_t size);
/// out[k] = sqrt(in[k]) for k < n, vectorised.
void sqrt_loop(double* out, const double* in, std::size_t n);
void sqrt_loop(float* out, const float* in, std::size_t n);
double min_scan(const double* values, std::size_t n);
double max_scan(const double* values, std::size_t n);
void integer_rows(const void* data, ElementType type, std::size_t rows, std::size_t columns, ReduceOp op, void* out);

BMX_ISA_END
}  // namespace bmx
