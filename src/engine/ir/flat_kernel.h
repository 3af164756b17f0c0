// FlatKernel: a kernel tree compiled into a post-order stack-machine program.
#pragma once

#include <cstdint>
#include <vector>

#include "../expr/expr_graph.h"
#include "../expr/expr_node.h"

namespace bmx {

/// Instruction kind; the numbers are part of the data model. StoreTemp keeps
/// the top value in a temporary (and leaves it on the stack); LoadTemp pushes
/// a kept value again. Only programs that compute repeated subtrees once use
/// the two.
enum class InstrKind : std::uint8_t {
  PushConst = 0,
  LoadArg = 1,
  ApplyUnary = 2,
  ApplyBinary = 3,
  ApplyCompare = 4,
  StoreTemp = 5,
  LoadTemp = 6,
};

/// One fixed-size instruction. `payload` is the constant's bit pattern
/// (PushConst), the slot index (LoadArg) or the temporary's index (StoreTemp,
/// LoadTemp); `op` the operator code of the Apply kinds.
struct FlatInstr {
  InstrKind kind;
  std::uint8_t op;
  std::uint64_t payload;

  friend bool operator==(const FlatInstr&, const FlatInstr&) = default;
};

/// The program, the greatest stack depth it reaches, and the number of
/// temporaries its StoreTemp and LoadTemp instructions use.
struct FlatKernel {
  std::vector<FlatInstr> instrs;
  std::uint64_t max_depth = 0;
  std::uint64_t temp_count = 0;
};

/// Compiles a tree without Select nodes into one instruction per tree node in
/// post-order, without temporaries: the reference form. A Select is an
/// internal failure.
FlatKernel flatten(const ExprTree& tree);

/// The same values from a program that evaluates each distinct subtree once:
/// the graph's nodes in post-order of the tree, a non-leaf node used more
/// than once followed by a StoreTemp at its first place and read by a
/// LoadTemp at every later one, and a temporary reused only once every use of
/// its value, the first included, has been consumed. A tree without repeats
/// gives flatten's program. Linear in the graph's nodes, whatever the size of
/// the tree, and iterative. A Select is an internal failure.
FlatKernel flatten_sharing(const ExprGraph& graph);

}  // namespace bmx
