// Block-wise evaluation of flat kernels: the production engine for kernels
// without Select.
//
// Each instruction is applied to a whole block of elements before the next
// one runs, so dispatch costs once per block and the operator loops can use
// vector instructions. Every element still sees exactly the operations of
// eval_flat on the same operands, so the results are bit-identical to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../ir/flat_kernel.h"
#include "chain_loops.h"
#include "isa_loops.h"
#include "slots.h"

namespace bmx {

/// A flat kernel checked against its slots, for block-wise runs over
/// elements below n. Immutable; one program may serve many threads' runs at
/// once. It refers to the kernel and the views, which must outlive it.
class FlatBlockProgram {
 public:
  /// Checks once what eval_flat checks per element: every LoadArg names a
  /// slot, every buffer slot has a view of at least n elements, and the
  /// program never pops an empty stack, stays within max_depth and ends with
  /// a value; and that every LoadTemp reads a temporary below temp_count that
  /// a StoreTemp before it has written. Breaches are internal failures.
  FlatBlockProgram(const FlatKernel& kernel, std::span<const ArgSlot> slots, std::span<const SlotView> views,
                   std::size_t n);

  /// The same over sources that each hold n elements (or a scalar); their
  /// memory must outlive the program.
  FlatBlockProgram(const FlatKernel& kernel, std::vector<SlotSource> sources, std::size_t n);

  /// Writes the values of elements [begin, end) to out[0 .. end - begin).
  /// `out` may be the very memory of a source from element `begin` on (each
  /// element is read before its own place is written), but must not overlap
  /// a source otherwise. Allocates one stack of blocks for the whole call.
  void run(std::size_t begin, std::size_t end, double* out) const;

  /// Where the ApplyBinary at a program counter starts a chain with the
  /// ApplyBinary after it: none, the outer operator's right operand pushed
  /// between the two (the inner value on its left), or the outer operator
  /// right after it (the inner value on its right), or two products of
  /// arguments or kept values added or subtracted (`x*x + y*y`); `root` when
  /// a square root follows the outer operator and is taken in the same loop.
  enum class ChainForm : std::uint8_t { None, InnerLeft, InnerRight, Products };
  struct Chain {
    ChainForm form = ChainForm::None;
    bool root = false;
    friend bool operator==(const Chain&, const Chain&) = default;
  };
  static std::vector<Chain> find_chains(std::span<const FlatInstr> instrs);

  /// The program counter of a chain's last instruction, for the chain that
  /// starts at `pc`.
  static std::size_t chain_end(std::size_t pc, Chain chain);

  /// Elements per block of this program: all of them when the program runs
  /// as one chain loop from its operands in place into the output, for it
  /// keeps no values of its own and a block only costs a dispatch.
  std::size_t block_length() const { return block_length_; }

 private:
  /// A value of the block stack or a slot: the block's values (null for a
  /// scalar, which stands for every element) or the scalar.
  using Operand = SlotSource;

  void run_block(std::size_t start, std::size_t length, double* stack, Operand* operands, double* out) const;

  /// Whether the program is pushes of arguments and constants and then one
  /// chain, ending the program, whose operands let it run as its one loop.
  bool runs_as_one_loop() const;

  std::span<const FlatInstr> instrs_;
  /// The loops of the level that was active when the program was built.
  const FlatLoops* loops_;
  const ChainLoops* chain_loops_;
  /// One entry per instruction.
  std::vector<Chain> chains_;
  std::vector<SlotSource> sources_;
  std::size_t n_;
  std::size_t depth_;
  std::size_t temp_count_;
  /// Blocks of the stack and the temporaries that a run allocates: none for
  /// a program that runs as one loop.
  std::size_t workspace_blocks_;
  std::size_t block_length_;
};

}  // namespace bmx
