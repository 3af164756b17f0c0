// Random kernels, data and slots for the evaluator tests, and bitwise checks.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "buffer/buffer.h"
#include "expr/expr_node.h"
#include "eval/reference_eval.h"
#include "eval/slots.h"
#include "ir/arg_slot.h"
#include "pool/pool.h"

namespace bmx::eval_test {

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

inline constexpr double kInf = std::numeric_limits<double>::infinity();

/// x * 2 + y, with x in slot 0 and y in slot 1.
inline ExprTree x_times_2_plus_y() {
  return ExprTree::binary(BinaryOp::Add, ExprTree::binary(BinaryOp::Mul, ExprTree::arg_ref(0), ExprTree::constant(2.0)),
                          ExprTree::arg_ref(1));
}

/// Sets the process-wide thread count for one scope.
class ThreadSetting {
 public:
  explicit ThreadSetting(std::size_t n) : previous_(WorkPool::set_num_threads(n)) {}
  ~ThreadSetting() { (void)WorkPool::set_num_threads(previous_); }
  ThreadSetting(const ThreadSetting&) = delete;
  ThreadSetting& operator=(const ThreadSetting&) = delete;

 private:
  std::size_t previous_;
};

/// Lengths around the block and pool boundaries.
inline constexpr std::size_t kLengths[] = {1, 7, 255, 256, 257, 1000, 4095, 4096, 4097, 10000};
inline constexpr std::size_t kMaxLength = 10000;

/// The reference engine's values of elements 0 to n-1.
inline std::vector<double> reference_values(const FlatKernel& kernel, std::span<const ArgSlot> slots,
                                            std::span<const SlotView> views, std::size_t n) {
  std::vector<double> stack;
  stack.reserve(kernel.max_depth);
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = eval_flat(kernel, i, slots, views, stack);
  return values;
}

inline std::vector<double> reference_values(const ExprTree& tree, std::span<const ArgSlot> slots,
                                            std::span<const SlotView> views, std::size_t n) {
  std::vector<double> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = eval_tree(tree, tree.root_index(), i, slots, views);
  return values;
}

/// Runs elements [begin, end) of a block program and compares them bitwise
/// with the reference values of every element.
template <class Program>
void expect_range(const Program& program, const std::vector<double>& expected, std::size_t begin, std::size_t end) {
  std::vector<double> out(end - begin);
  program.run(begin, end, out.data());
  for (std::size_t i = begin; i < end; ++i) {
    ASSERT_EQ(bits(out[i - begin]), bits(expected[i])) << "element " << i << " of [" << begin << ", " << end << ")";
  }
}

/// expect_range over [0, n) for every n of kLengths, then over one random
/// range of [0, kMaxLength).
template <class Program>
void expect_ranges(const Program& program, const std::vector<double>& expected, std::mt19937_64& rng) {
  for (const std::size_t n : kLengths) expect_range(program, expected, 0, n);
  const std::size_t begin = rng() % kMaxLength;
  expect_range(program, expected, begin, begin + rng() % (kMaxLength - begin + 1));
}

/// Values that stress operators: NaNs of both signs with payloads (quiet and
/// signalling), zeros of both signs, infinities, subnormals, halves, small
/// integers (so comparisons tie and conditions are 0.0) and ordinary numbers.
inline double special_value(std::mt19937_64& rng) {
  using limits = std::numeric_limits<double>;
  switch (rng() % 12) {
    case 0: return std::bit_cast<double>(0x7ff8000000000000ull | (rng() & 0x0007ffffffffffffull));
    case 1: return std::bit_cast<double>(0xfff0000000000001ull | (rng() & 0x0007ffffffffffffull));
    case 2: return (rng() & 1) != 0 ? 0.0 : -0.0;
    case 3: return (rng() & 1) != 0 ? limits::infinity() : -limits::infinity();
    case 4: return std::bit_cast<double>((rng() & 0x000fffffffffffffull) | ((rng() & 1) << 63));
    case 5: return static_cast<double>(static_cast<int>(rng() % 9) - 4) + 0.5;
    case 6:
    case 7: return static_cast<double>(static_cast<int>(rng() % 5) - 2);
    case 8: return std::uniform_real_distribution<double>(-1e300, 1e300)(rng);
    default: return std::uniform_real_distribution<double>(-10.0, 10.0)(rng);
  }
}

inline F64Vec random_values(std::mt19937_64& rng, std::size_t n) {
  F64Vec values(n);
  for (double& value : values) value = special_value(rng);
  return values;
}

/// `count` slots of `n` elements each, buffers and scalars mixed, at least
/// one buffer.
inline std::vector<ArgSlot> random_slots(std::mt19937_64& rng, std::size_t count, std::size_t n) {
  std::vector<ArgSlot> slots;
  const std::size_t forced_buffer = rng() % count;
  for (std::size_t s = 0; s < count; ++s) {
    if (s == forced_buffer || rng() % 3 != 0) {
      slots.emplace_back(Buffer::from_f64_vec(random_values(rng, n)));
    } else {
      slots.emplace_back(special_value(rng));
    }
  }
  return slots;
}

/// Copies of `slots` whose buffers keep only their first n elements.
inline std::vector<ArgSlot> prefix_slots(const std::vector<ArgSlot>& slots, std::size_t n) {
  std::vector<ArgSlot> out;
  for (const ArgSlot& slot : slots) {
    if (const BufferRef* buffer = std::get_if<BufferRef>(&slot)) {
      const auto values = (*buffer)->as_f64_slice();
      out.emplace_back(Buffer::from_f64_vec(F64Vec(values.begin(), values.begin() + static_cast<long>(n))));
    } else {
      out.push_back(slot);
    }
  }
  return out;
}

/// A random tree of depth at most `max_depth` over `slot_count` slots, with
/// every operator, and Select nodes when `with_select`. Built bottom-up, level
/// by level: each node of a level takes one child from the level below and
/// the others from low levels, which keeps sizes moderate.
inline ExprTree random_tree(std::mt19937_64& rng, int max_depth, std::size_t slot_count, bool with_select) {
  constexpr std::size_t kPerLevel = 6;
  std::vector<std::vector<ExprTree>> levels(1);
  const auto leaf = [&]() {
    return rng() % 3 == 0 ? ExprTree::constant(special_value(rng)) : ExprTree::arg_ref(rng() % slot_count);
  };
  for (std::size_t k = 0; k < kPerLevel; ++k) levels[0].push_back(leaf());
  const auto pick_low = [&](int below) -> const ExprTree& {
    const auto& level = levels[rng() % static_cast<std::size_t>(std::max(1, below / 2 + 1))];
    return level[rng() % level.size()];
  };
  for (int depth = 1; depth <= max_depth; ++depth) {
    std::vector<ExprTree> level;
    for (std::size_t k = 0; k < kPerLevel; ++k) {
      const ExprTree& main = levels[depth - 1][rng() % kPerLevel];
      const bool main_left = rng() % 2 == 0;
      switch (rng() % (with_select ? 5 : 4)) {
        case 0: level.push_back(ExprTree::unary(static_cast<UnaryOp>(rng() % std::size(kUnaryOps)), main)); break;
        case 1:
        case 2: {
          const ExprTree& other = pick_low(depth);
          const auto op = static_cast<BinaryOp>(rng() % std::size(kBinaryOps));
          level.push_back(main_left ? ExprTree::binary(op, main, other) : ExprTree::binary(op, other, main));
          break;
        }
        case 3: {
          const ExprTree& other = pick_low(depth);
          const auto op = static_cast<CompareOp>(rng() % 6);
          level.push_back(main_left ? ExprTree::compare(op, main, other) : ExprTree::compare(op, other, main));
          break;
        }
        default: {
          const ExprTree& a = pick_low(depth);
          const ExprTree& b = pick_low(depth);
          switch (rng() % 3) {
            case 0: level.push_back(ExprTree::select(main, a, b)); break;
            case 1: level.push_back(ExprTree::select(a, main, b)); break;
            default: level.push_back(ExprTree::select(a, b, main)); break;
          }
        }
      }
    }
    levels.push_back(std::move(level));
  }
  const auto& top = levels[1 + rng() % static_cast<std::size_t>(max_depth)];
  return top[rng() % top.size()];
}

/// A tree that contains at least one Select.
inline ExprTree random_select_tree(std::mt19937_64& rng, int max_depth, std::size_t slot_count) {
  for (;;) {
    ExprTree tree = random_tree(rng, max_depth, slot_count, true);
    if (contains_select(tree)) return tree;
  }
}

}  // namespace bmx::eval_test
