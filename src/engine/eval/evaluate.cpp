// The evaluation driver: the block engines, sequential or on the pool.
#include "evaluate.h"

#include "flat_block_eval.h"
#include "pool/pool.h"
#include "slots.h"
#include "tree_block_eval.h"

namespace bmx {

namespace {

/// Runs body(begin, end) over [0, n): on the calling thread below the
/// sequential threshold, else on the pool in pieces of at least `min_piece`.
template <class Body>
void run_range(std::size_t n, std::size_t min_piece, const Body& body) {
  if (n < kSequentialThreshold) {
    body(0, n);
    return;
  }
  WorkPool::global().run_pieces(n, min_piece, body);
}

}  // namespace

F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots) {
  if (n == 0) return F64Vec();
  const std::vector<SlotView> views = make_slot_views(slots);
  // Not zero-filled: each element is first touched by the piece that computes it.
  F64Vec values(n);
  double* const out = values.data();
  const auto run = [n, out](const auto& program, std::size_t min_piece) {
    run_range(n, min_piece, [&program, out](std::size_t begin, std::size_t end) { program.run(begin, end, out + begin); });
  };
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) {
    run(FlatBlockProgram(*flat, slots, views, n), kMinFlatPiece);
  } else {
    run(TreeBlockProgram(std::get<ExprTree>(compiled), slots, views, n), kMinTreePiece);
  }
  return values;
}

}  // namespace bmx
