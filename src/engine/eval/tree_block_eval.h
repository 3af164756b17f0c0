// Block-wise lazy evaluation of tree kernels: the production engine for
// kernels that contain a Select.
//
// A node is evaluated for a set of elements of one block at a time. A Select
// evaluates its condition for its whole set, splits the set by the condition
// and evaluates each branch only for the elements that chose it, so, as in
// eval_tree, no element ever evaluates a branch it did not take. The walk is
// iterative over an explicit frame stack, and the memory of a run is bounded:
// deep trees get shorter blocks (see TreeBlockProgram).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../expr/expr_node.h"
#include "../ir/shared_subtrees.h"
#include "chain_loops.h"
#include "isa_loops.h"
#include "slots.h"

namespace bmx {

/// Receives every node entry of a run: the evidence, for tests, of which
/// elements evaluate which nodes.
class TreeEvalObserver {
 public:
  virtual ~TreeEvalObserver() = default;
  /// `node` is about to be evaluated for the elements block_begin + offsets[k]
  /// (k < count), or block_begin + k when `offsets` is null.
  virtual void enter(std::size_t node, std::size_t block_begin, const std::uint32_t* offsets,
                     std::size_t count) = 0;
};

/// Splits the elements `offsets[0 .. count)` (or 0 .. count-1 when `offsets`
/// is null) by the condition values `condition[offset]`: those whose value is
/// not 0.0 of either sign (NaN included) go, in order, to the front of
/// `lists`, the others to its back in reverse order. `lists` holds `count`
/// places. Returns the number that took the then-branch.
std::size_t partition_by_condition(const double* condition, const std::uint32_t* offsets, std::size_t count,
                                   std::uint32_t* lists);

/// A tree kernel checked against its slots and planned for block-wise runs
/// over elements below n. Immutable; one program may serve many threads' runs
/// at once. It refers to the tree and the views, which must outlive it.
///
/// The plan picks, for each binary node, which operand to evaluate first: the
/// one needing more temporaries (pure operators make the order unobservable),
/// so chains nested on either side need one temporary block, not one per
/// level. A leaf operand evaluated second is read in place, without a block.
///
/// Given the sharing of the tree's repeated subtrees, a Compute node copies
/// its values into a block of its own, kept for the whole block walk, and a
/// Reuse node reads them from there like a leaf instead of being evaluated;
/// an operand is then never evaluated before the Compute node it reuses.
class TreeBlockProgram {
 public:
  /// Checks every ArgRef against the slots and every buffer view against n;
  /// breaches are internal failures. Without `sharing` every node is
  /// evaluated where it stands; with it, `sharing` (for this tree) must
  /// outlive the program.
  TreeBlockProgram(const ExprTree& tree, std::span<const ArgSlot> slots, std::span<const SlotView> views,
                   std::size_t n, const SubtreeSharing* sharing = nullptr);

  /// The same over sources that each hold n elements (or a scalar); their
  /// memory must outlive the program.
  TreeBlockProgram(const ExprTree& tree, std::vector<SlotSource> sources, std::size_t n,
                   const SubtreeSharing* sharing = nullptr);

  /// Writes the values of elements [begin, end) to out[0 .. end - begin),
  /// reporting node entries to `observer` when one is given. `out` may be the
  /// very memory of a source from element `begin` on (the blocks are then
  /// computed aside and copied), but must not overlap a source otherwise.
  /// Allocates its workspace once for the whole call.
  void run(std::size_t begin, std::size_t end, double* out, TreeEvalObserver* observer = nullptr) const;

  /// Elements per block of this program: all of them when the tree is one
  /// compare-select loop from operands in place into the output, for it keeps
  /// no values of its own and a block only costs a dispatch.
  std::size_t block_length() const { return block_length_; }

 private:
  struct Workspace;

  void run_block(std::size_t start, std::size_t length, double* out, Workspace& workspace,
                 TreeEvalObserver* observer) const;

  NodeRole role(std::size_t node) const { return roles_.empty() ? NodeRole::Plain : roles_[node]; }
  /// A leaf, or a Reuse node: read in place rather than evaluated.
  bool reads_in_place(std::size_t node) const;
  /// Whether a Select runs as one loop: it compares values read in place,
  /// the left ones an array's or kept ones, and chooses between branches
  /// read in place.
  bool selects_in_one_loop(std::size_t select) const;

  std::span<const ExprNode> nodes_;
  /// The loops of the level that was active when the program was built.
  const TreeLoops* loops_;
  const ChainLoops* chain_loops_;
  std::vector<SlotSource> sources_;
  /// Empty without sharing.
  std::span<const NodeRole> roles_;
  /// Per Compute node: its kept block; per Reuse node: that of its Compute node.
  std::vector<std::uint32_t> kept_block_;
  std::size_t kept_blocks_ = 0;
  /// Per node: 1 when a Binary or Compare node evaluates its right operand first.
  std::vector<std::uint8_t> right_first_;
  std::size_t n_;
  /// Blocks of operand temporaries, element lists and frames a run needs at most.
  std::size_t temp_blocks_;
  std::size_t list_blocks_;
  std::size_t frame_depth_;
  bool one_loop_;
  std::size_t block_length_;
};

}  // namespace bmx
