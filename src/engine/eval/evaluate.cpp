// The evaluation driver: the block engines, sequential or on the pool.
#include "evaluate.h"

#include <cstdint>
#include <vector>

#include "element_cost.h"
#include "flat_block_eval.h"
#include "run_range.h"
#include "tree_block_eval.h"

namespace bmx {

namespace {

/// Whether `source` is `out` itself or lies wholly apart from it.
bool is_same_or_apart(const SlotSource& source, std::span<const double> out) {
  if (source.values == nullptr || source.values == out.data()) return true;
  const auto address = [](const double* p) { return reinterpret_cast<std::uintptr_t>(p); };
  const std::uintptr_t bytes = out.size() * sizeof(double);
  const std::uintptr_t source_begin = address(source.values);
  const std::uintptr_t out_begin = address(out.data());
  return source_begin + bytes <= out_begin || out_begin + bytes <= source_begin;
}

}  // namespace

void evaluate_into(const CompiledKernel& compiled, std::span<const SlotSource> sources, std::span<double> out) {
  const std::size_t n = out.size();
  if (n == 0) return;
  for (const SlotSource& source : sources) {
    check(is_same_or_apart(source, out), "output overlaps an input without being it");
  }
  double* const values = out.data();
  const auto run = [n, values, cost = element_cost(compiled)](const auto& program, std::size_t min_piece) {
    run_range(
        n, min_piece,
        [&program, values](std::size_t begin, std::size_t end) { program.run(begin, end, values + begin); }, cost);
  };
  std::vector<SlotSource> owned(sources.begin(), sources.end());
  if (const FlatKernel* flat = std::get_if<FlatKernel>(&compiled)) {
    run(FlatBlockProgram(*flat, std::move(owned), n), kMinFlatPiece);
  } else {
    const TreeKernel& tree = std::get<TreeKernel>(compiled);
    run(TreeBlockProgram(tree.tree, std::move(owned), n, &tree.sharing), kMinTreePiece);
  }
}

F64Vec evaluate(const CompiledKernel& compiled, std::size_t n, std::span<const ArgSlot> slots) {
  if (n == 0) return F64Vec();
  const std::vector<SlotView> views = make_slot_views(slots);
  const std::vector<SlotSource> sources = make_slot_sources(slots, views, n);
  // Not zero-filled: each element is first touched by the piece that computes it.
  F64Vec values(n);
  evaluate_into(compiled, sources, values);
  return values;
}

}  // namespace bmx
