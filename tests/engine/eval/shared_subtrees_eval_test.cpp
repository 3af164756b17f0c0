// Kernels whose repeated subtrees are computed once: bit for bit the values
// of the reference engines and of the program that computes every repeat.
#include <gtest/gtest.h>

#include <algorithm>

#include "eval/evaluate.h"
#include "expr/shared_tree.h"
#include "eval/flat_block_eval.h"
#include "eval/tree_block_eval.h"
#include "eval_test_support.h"
#include "tree_visits.h"

namespace bmx {
namespace {

using namespace eval_test;

/// Lengths around the block length and the pool threshold.
constexpr std::size_t kEdgeLengths[] = {1, 511, 512, 513, 1025, 4095, 4096, 4097, kMaxLength};

/// A tree built step by step from a pool of subtrees that every step draws
/// its operands from, so that equal subtrees recur at many places, as one
/// node or as equal copies. Select nodes only when `with_select`.
ExprTree repeating_tree(std::mt19937_64& rng, std::size_t slot_count, bool with_select) {
  constexpr std::size_t kMaxNodes = 3000;
  std::vector<ExprTree> pool;
  for (std::size_t s = 0; s < slot_count; ++s) pool.push_back(ExprTree::arg_ref(s));
  pool.push_back(ExprTree::constant(special_value(rng)));
  const auto pick = [&]() -> const ExprTree& {
    // Mostly recent subtrees, so that repeats nest inside repeats.
    const std::size_t back = rng() % 2 == 0 ? rng() % std::min<std::size_t>(3, pool.size()) : rng() % pool.size();
    return pool[pool.size() - 1 - back];
  };
  const std::size_t steps = 4 + rng() % 14;
  for (std::size_t step = 0; step < steps; ++step) {
    const ExprTree& a = pick();
    const ExprTree& b = pick();
    const ExprTree& c = pick();
    ExprTree made = ExprTree::constant(0.0);
    switch (rng() % (with_select ? 4 : 3)) {
      case 0: made = ExprTree::unary(static_cast<UnaryOp>(rng() % std::size(kUnaryOps)), a); break;
      case 1: made = ExprTree::binary(static_cast<BinaryOp>(rng() % std::size(kBinaryOps)), a, b); break;
      case 2: made = ExprTree::compare(static_cast<CompareOp>(rng() % 6), a, b); break;
      default: made = ExprTree::select(a, b, c); break;
    }
    if (made.nodes().size() <= kMaxNodes) pool.push_back(std::move(made));
  }
  return pool.back();
}

ExprTree repeating_tree_with(std::mt19937_64& rng, std::size_t slot_count, bool with_select) {
  for (;;) {
    ExprTree tree = repeating_tree(rng, slot_count, with_select);
    if (contains_select(tree) == with_select && tree.nodes().size() > 1) return tree;
  }
}

TEST(SharedSubtreesEval, BlockProgramsMatchTheReferenceForm) {
  std::size_t kept = 0;
  constexpr std::uint64_t kSeeds = 24;
  for (std::uint64_t seed = 0; seed < kSeeds; ++seed) {
    std::mt19937_64 rng(7100 + seed);
    const std::size_t slot_count = 1 + rng() % 3;
    const ExprTree tree = repeating_tree_with(rng, slot_count, false);
    const std::vector<ArgSlot> slots = random_slots(rng, slot_count, kMaxLength);
    const std::vector<SlotView> views = make_slot_views(slots);
    const FlatKernel reference = flatten(tree);
    const CompiledKernel compiled_kernel = compile_kernel(tree);
    const FlatKernel& compiled = std::get<FlatKernel>(compiled_kernel);
    kept += compiled.temp_count > 0 ? 1 : 0;
    const std::vector<double> expected = reference_values(reference, slots, views, kMaxLength);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(tree.nodes().size()) + " nodes, " +
                 std::to_string(compiled.instrs.size()) + " instructions");
    expect_ranges(FlatBlockProgram(compiled, slots, views, kMaxLength), expected, rng);
    expect_ranges(FlatBlockProgram(reference, slots, views, kMaxLength), expected, rng);
  }
  // The generator must give repeats, or this test checks nothing new.
  EXPECT_GT(kept, kSeeds / 2);
}

TEST(SharedSubtreesEval, EvaluateAroundBlockAndPoolLengths) {
  const ThreadSetting threads(2);
  for (const bool with_select : {false, true}) {
    for (std::uint64_t seed = 0; seed < 8; ++seed) {
      std::mt19937_64 rng((with_select ? 7300 : 7200) + seed);
      const std::size_t slot_count = 1 + rng() % 3;
      const ExprTree tree = repeating_tree_with(rng, slot_count, with_select);
      const std::vector<ArgSlot> all = random_slots(rng, slot_count, kMaxLength);
      const std::vector<SlotView> views = make_slot_views(all);
      const std::vector<double> expected = with_select ? reference_values(tree, all, views, kMaxLength)
                                                       : reference_values(flatten(tree), all, views, kMaxLength);
      const CompiledKernel compiled = compile_kernel(tree);
      SCOPED_TRACE("seed " + std::to_string(seed));
      for (const std::size_t n : kEdgeLengths) {
        const F64Vec values = evaluate(compiled, n, prefix_slots(all, n));
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(values[i]), bits(expected[i])) << "n " << n << ", " << i;
      }
    }
  }
}

// e = e * e, 22 and 60 times, and a kept value whose first place is
// consumed after its last repeat, while another value takes a temporary:
// bit for bit the reference, around block and pool lengths.
TEST(SharedSubtreesEval, SquaringChainsAndLongLivedKeptValues) {
  const ThreadSetting threads(2);
  std::mt19937_64 rng(7600);
  F64Vec data = random_values(rng, kMaxLength);
  for (std::size_t i = 0; i < kMaxLength; i += 2) data[i] = 1.0 + data[i] * 1e-9;
  const std::vector<ArgSlot> all{Buffer::from_f64_vec(data), Buffer::from_f64_vec(random_values(rng, kMaxLength))};
  for (const int steps : {22, 60}) {
    SharedTree e = SharedTree::arg_ref(0, "x");
    for (int k = 0; k < steps; ++k) e = SharedTree::binary(BinaryOp::Mul, e, e);
    const CompiledKernel compiled = compile_kernel(ExprGraph::of(e));
    for (const std::size_t n : kEdgeLengths) {
      const F64Vec values = evaluate(compiled, n, prefix_slots(all, n));
      for (std::size_t i = 0; i < n; ++i) {
        double expected = data[i];
        for (int k = 0; k < steps; ++k) expected *= expected;
        ASSERT_EQ(bits(values[i]), bits(expected)) << steps << " steps, n " << n << ", " << i;
      }
    }
  }
  // x*y + (-(x*y) + (x-y)*(x-y))
  const ExprTree x = ExprTree::arg_ref(0);
  const ExprTree y = ExprTree::arg_ref(1);
  const ExprTree product = ExprTree::binary(BinaryOp::Mul, x, y);
  const ExprTree difference = ExprTree::binary(BinaryOp::Sub, x, y);
  const ExprTree tree = ExprTree::binary(
      BinaryOp::Add, product,
      ExprTree::binary(BinaryOp::Add, ExprTree::unary(UnaryOp::Neg, product),
                       ExprTree::binary(BinaryOp::Mul, difference, difference)));
  const std::vector<double> expected = reference_values(flatten(tree), all, make_slot_views(all), kMaxLength);
  const CompiledKernel compiled = compile_kernel(tree);
  for (const std::size_t n : kEdgeLengths) {
    const F64Vec values = evaluate(compiled, n, prefix_slots(all, n));
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(values[i]), bits(expected[i])) << "n " << n << ", " << i;
  }
}

// x = f(x): the kept values are read from temporaries while the output
// overwrites the input they came from.
TEST(SharedSubtreesEval, OutputMayBeTheInputOfAKeptSubtree) {
  const ExprTree x = ExprTree::arg_ref(0);
  const ExprTree s = ExprTree::unary(UnaryOp::Sin, x);
  const ExprTree c = ExprTree::unary(UnaryOp::Cos, x);
  const auto mul = [](const ExprTree& l, const ExprTree& r) { return ExprTree::binary(BinaryOp::Mul, l, r); };
  const auto add = [](const ExprTree& l, const ExprTree& r) { return ExprTree::binary(BinaryOp::Add, l, r); };
  const ExprTree tree = add(add(mul(s, s), mul(c, c)), add(s, x));
  const CompiledKernel compiled = compile_kernel(tree);
  ASSERT_GT(std::get<FlatKernel>(compiled).temp_count, 0u);
  std::mt19937_64 rng(7400);
  for (const std::size_t n : kEdgeLengths) {
    const std::vector<ArgSlot> slots{Buffer::from_f64_vec(random_values(rng, n))};
    const std::vector<double> expected = reference_values(flatten(tree), slots, make_slot_views(slots), n);
    std::vector<double> in_out(std::get<BufferRef>(slots[0])->as_f64_slice().begin(),
                               std::get<BufferRef>(slots[0])->as_f64_slice().end());
    const std::vector<SlotSource> sources{{in_out.data(), 0.0}};
    evaluate_into(compiled, sources, in_out);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(in_out[i]), bits(expected[i])) << "n " << n << ", " << i;
  }
}

// Every element enters exactly the nodes its lazy evaluation needs, once:
// no branch it did not take, and nothing a kept value stands for.
TEST(SharedSubtreesEval, ElementsEnterOnlyTheNodesTheyNeed) {
  std::size_t kept = 0;
  constexpr std::uint64_t kSeeds = 20;
  for (std::uint64_t seed = 0; seed < kSeeds; ++seed) {
    std::mt19937_64 rng(7500 + seed);
    const std::size_t slot_count = 1 + rng() % 3;
    const CompiledKernel compiled = compile_kernel(repeating_tree_with(rng, slot_count, true));
    const TreeKernel& kernel = std::get<TreeKernel>(compiled);
    kept += std::count(kernel.sharing.roles.begin(), kernel.sharing.roles.end(), NodeRole::Reuse) > 0 ? 1 : 0;
    constexpr std::size_t kN = 700;
    const std::vector<ArgSlot> slots = random_slots(rng, slot_count, kN);
    const std::vector<SlotView> views = make_slot_views(slots);
    const TreeBlockProgram program(kernel.tree, slots, views, kN, &kernel.sharing);
    VisitCounter counter(kernel.tree.nodes().size(), kN);
    std::vector<double> out(kN);
    program.run(0, kN, out.data(), &counter);
    SCOPED_TRACE("seed " + std::to_string(seed));
    for (std::size_t i = 0; i < kN; ++i) {
      ASSERT_EQ(bits(out[i]), bits(eval_tree(kernel.tree, kernel.tree.root_index(), i, slots, views))) << i;
      const std::vector<bool> expected = lazy_visits(kernel.tree, &kernel.sharing, i, slots, views);
      for (std::size_t node = 0; node < expected.size(); ++node) {
        ASSERT_EQ(counter.count(node, i), expected[node] ? 1 : 0) << "node " << node << ", element " << i;
      }
    }
  }
  EXPECT_GT(kept, kSeeds / 2);
}

// A subtree shared between the condition and a branch, or between the two
// branches, is still entered in a branch only by the elements that take it.
TEST(SharedSubtreesEval, BranchesNotTakenAreNotEvaluated) {
  const ExprTree x = ExprTree::arg_ref(0);
  const ExprTree zero = ExprTree::constant(0.0);
  const ExprTree sqrt_x = ExprTree::unary(UnaryOp::Sqrt, x);
  const ExprTree sin_x = ExprTree::unary(UnaryOp::Sin, x);
  const ExprTree positive = ExprTree::compare(CompareOp::Gt, x, zero);
  const auto mul = [](const ExprTree& l, const ExprTree& r) { return ExprTree::binary(BinaryOp::Mul, l, r); };
  const ExprTree trees[] = {
      // where(x > 0, sqrt(x) * sqrt(x), -sqrt(-x))
      ExprTree::select(positive, mul(sqrt_x, sqrt_x),
                       ExprTree::unary(UnaryOp::Neg, ExprTree::unary(UnaryOp::Sqrt, ExprTree::unary(UnaryOp::Neg, x)))),
      // where(sin(x) > 0, sin(x), sin(x) * sin(x)): every sine in a branch
      // reads the condition's
      ExprTree::select(ExprTree::compare(CompareOp::Gt, sin_x, zero), sin_x, mul(sin_x, sin_x)),
      // where(x > 0, sin(x) + (sin(x) + 1) * (cos(x) * 2), 0): the right
      // operand would need fewer temporaries first, but reads the left's sine.
      ExprTree::select(positive,
                       ExprTree::binary(BinaryOp::Add, sin_x,
                                        mul(ExprTree::binary(BinaryOp::Add, sin_x, ExprTree::constant(1.0)),
                                            mul(ExprTree::unary(UnaryOp::Cos, x), ExprTree::constant(2.0)))),
                       zero),
  };
  constexpr std::size_t kN = 1000;
  F64Vec data(kN);
  for (std::size_t i = 0; i < kN; ++i) data[i] = static_cast<double>(i % 7) - 3.0;
  const std::vector<ArgSlot> slots{Buffer::from_f64_vec(data)};
  const std::vector<SlotView> views = make_slot_views(slots);
  for (const ExprTree& tree : trees) {
    const CompiledKernel compiled = compile_kernel(tree);
    const TreeKernel& kernel = std::get<TreeKernel>(compiled);
    const ExprTree& kernel_tree = kernel.tree;
    const TreeBlockProgram program(kernel_tree, slots, views, kN, &kernel.sharing);
    VisitCounter counter(kernel_tree.nodes().size(), kN);
    std::vector<double> out(kN);
    program.run(0, kN, out.data(), &counter);
    std::size_t branch[3];
    child_indices(kernel_tree.nodes(), kernel_tree.root_index(), branch);
    const std::span<const ExprNode> nodes = kernel_tree.nodes();
    std::size_t takes_then = 0;
    for (std::size_t i = 0; i < kN; ++i) {
      const bool then = eval_tree(kernel_tree, branch[0], i, slots, views) != 0.0;
      takes_then += then ? 1 : 0;
      ASSERT_EQ(bits(out[i]), bits(eval_tree(tree, tree.root_index(), i, slots, views))) << i;
      for (const std::size_t root : {branch[1], branch[2]}) {
        const bool taken = (root == branch[1]) == then;
        for (std::size_t node = root + 1 - nodes[root].size; node <= root; ++node) {
          const bool runs = taken && kernel.sharing.roles[node] != NodeRole::Skipped;
          ASSERT_EQ(counter.count(node, i), runs ? 1 : 0) << "node " << node << ", element " << i;
        }
      }
    }
    ASSERT_GT(takes_then, 0u);
    ASSERT_LT(takes_then, kN);
  }
}

}  // namespace
}  // namespace bmx
