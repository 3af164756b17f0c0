// The nodes the block tree walk enters, counted per element, and the nodes a
// lazy per-element walk would enter, for comparing the two.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "eval/reference_eval.h"
#include "eval/slots.h"
#include "eval/tree_block_eval.h"
#include "expr/expr_node.h"
#include "ir/arg_slot.h"
#include "ir/shared_subtrees.h"

namespace bmx::eval_test {

/// Counts, per node and element, how often the walk entered the node.
class VisitCounter : public TreeEvalObserver {
 public:
  VisitCounter(std::size_t nodes, std::size_t n) : n_(n), counts_(nodes * n, 0) {}

  void enter(std::size_t node, std::size_t block_begin, const std::uint32_t* offsets, std::size_t count) override {
    for (std::size_t k = 0; k < count; ++k) ++counts_[node * n_ + block_begin + (offsets == nullptr ? k : offsets[k])];
  }

  int count(std::size_t node, std::size_t i) const { return counts_[node * n_ + i]; }

 private:
  std::size_t n_;
  std::vector<int> counts_;
};

/// The nodes a lazy per-element evaluation of element i enters, each once:
/// all children of ordinary nodes, of a Select its condition and the branch
/// the condition chooses, and, given `sharing`, nothing below a repeat that
/// reads a kept value.
inline std::vector<bool> lazy_visits(const ExprTree& tree, const SubtreeSharing* sharing, std::size_t i,
                                     std::span<const ArgSlot> slots, std::span<const SlotView> views) {
  std::vector<bool> visited(tree.nodes().size(), false);
  std::vector<std::size_t> pending{tree.root_index()};
  while (!pending.empty()) {
    const std::size_t node = pending.back();
    pending.pop_back();
    visited[node] = true;
    if (sharing != nullptr && sharing->roles[node] == NodeRole::Reuse) continue;
    std::size_t child[3];
    const int count = child_indices(tree.nodes(), node, child);
    if (tree.nodes()[node].tag == NodeTag::Select) {
      pending.push_back(child[0]);
      pending.push_back(eval_tree(tree, child[0], i, slots, views) == 0.0 ? child[2] : child[1]);
    } else {
      pending.insert(pending.end(), child, child + count);
    }
  }
  return visited;
}

}  // namespace bmx::eval_test
