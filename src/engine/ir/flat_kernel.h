// FlatKernel: a kernel tree compiled into a post-order stack-machine program.
#pragma once

#include <cstdint>
#include <vector>

#include "../expr/expr_node.h"

namespace bmx {

/// Instruction kind; the numbers are part of the data model.
enum class InstrKind : std::uint8_t { PushConst = 0, LoadArg = 1, ApplyUnary = 2, ApplyBinary = 3, ApplyCompare = 4 };

/// One fixed-size instruction. `payload` is the constant's bit pattern
/// (PushConst) or the slot index (LoadArg); `op` the operator code of the
/// Apply kinds.
struct FlatInstr {
  InstrKind kind;
  std::uint8_t op;
  std::uint64_t payload;

  friend bool operator==(const FlatInstr&, const FlatInstr&) = default;
};

/// The program, one instruction per tree node in post-order, and the greatest
/// stack depth it reaches.
struct FlatKernel {
  std::vector<FlatInstr> instrs;
  std::uint64_t max_depth = 0;
};

/// Compiles a tree without Select nodes; a Select is an internal failure.
FlatKernel flatten(const ExprTree& tree);

}  // namespace bmx
