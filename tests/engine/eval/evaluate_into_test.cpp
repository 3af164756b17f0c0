// evaluate_into over borrowed memory: the bits of evaluate() for every thread
// count, output that is an input's own memory, and the overlap contract.
#include "eval/evaluate.h"

#include <gtest/gtest.h>

#include "eval_test_support.h"

namespace bmx {
namespace {

using namespace eval_test;

std::vector<SlotSource> borrowed_sources(const std::vector<ArgSlot>& slots) {
  std::vector<SlotSource> sources;
  for (const ArgSlot& slot : slots) {
    if (const BufferRef* buffer = std::get_if<BufferRef>(&slot)) {
      sources.push_back({(*buffer)->as_f64_slice().data(), 0.0});
    } else {
      sources.push_back({nullptr, std::get<double>(slot)});
    }
  }
  return sources;
}

/// A random kernel (with a Select for odd seeds), its slots of kMaxLength
/// elements, and evaluate()'s values over them.
struct RandomCase {
  CompiledKernel compiled;
  std::vector<ArgSlot> slots;
  F64Vec expected;
};

RandomCase random_case(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::size_t slot_count = 1 + rng() % 3;
  const ExprTree tree = seed % 2 == 1 ? random_select_tree(rng, 1 + static_cast<int>(rng() % 10), slot_count)
                                      : random_tree(rng, 1 + static_cast<int>(rng() % 12), slot_count, false);
  RandomCase made{compile_kernel(tree), random_slots(rng, slot_count, kMaxLength), {}};
  made.expected = evaluate(made.compiled, kMaxLength, made.slots);
  return made;
}

void expect_prefix(const std::vector<double>& out, const F64Vec& expected) {
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(bits(out[i]), bits(expected[i])) << "element " << i;
}

TEST(EvaluateInto, MatchesEvaluateForEveryThreadCount) {
  const std::size_t all_threads = WorkPool::num_threads();
  for (std::uint64_t seed = 4200; seed < 4212; ++seed) {
    const RandomCase made = random_case(seed);
    const std::vector<SlotSource> sources = borrowed_sources(made.slots);
    for (const std::size_t threads : {std::size_t{1}, all_threads, std::size_t{3}}) {
      const ThreadSetting setting(threads);
      SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(threads) + " threads");
      for (const std::size_t n : kLengths) {
        std::vector<double> out(n);
        evaluate_into(made.compiled, sources, out);
        expect_prefix(out, made.expected);
      }
    }
  }
}

// `x = f(x, ...)`: the output is the first buffer slot's own memory.
TEST(EvaluateInto, OutputMayBeAnInputsOwnMemory) {
  for (std::uint64_t seed = 5100; seed < 5116; ++seed) {
    const RandomCase made = random_case(seed);
    std::vector<SlotSource> sources = borrowed_sources(made.slots);
    std::size_t aliased = 0;
    while (sources[aliased].values == nullptr) ++aliased;
    std::vector<double> in_out(sources[aliased].values, sources[aliased].values + kMaxLength);
    sources[aliased].values = in_out.data();
    SCOPED_TRACE("seed " + std::to_string(seed) + ", slot " + std::to_string(aliased));
    evaluate_into(made.compiled, sources, in_out);
    expect_prefix(in_out, made.expected);
  }
}

TEST(EvaluateInto, PartialOverlapAndShortSourcesAreInternalFailures) {
  const CompiledKernel compiled = compile_kernel(ExprTree::unary(UnaryOp::Neg, ExprTree::arg_ref(0)));
  std::vector<double> memory(100, 1.0);
  const std::vector<SlotSource> shifted{{memory.data() + 1, 0.0}};
  EXPECT_THROW(evaluate_into(compiled, shifted, std::span<double>(memory.data(), 99)), InternalFailure);
  const std::vector<SlotSource> behind{{memory.data(), 0.0}};
  EXPECT_THROW(evaluate_into(compiled, behind, std::span<double>(memory.data() + 10, 50)), InternalFailure);
  EXPECT_EQ(memory, std::vector<double>(100, 1.0));
  // Memory that only touches the output is apart from it.
  evaluate_into(compiled, behind, std::span<double>(memory.data() + 50, 50));
  EXPECT_EQ(memory[49], 1.0);
  EXPECT_EQ(memory[50], -1.0);
  EXPECT_EQ(memory[99], -1.0);
  const std::vector<SlotSource> no_slot;
  std::vector<double> out(10);
  EXPECT_THROW(evaluate_into(compiled, no_slot, out), InternalFailure);
}

}  // namespace
}  // namespace bmx
