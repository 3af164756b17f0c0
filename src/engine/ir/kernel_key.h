// KernelKey: the structural key of a kernel tree, and its fingerprint.
#pragma once

#include <cstdint>
#include <vector>

#include "../expr/expr_node.h"

namespace bmx {

/// A tree's structure in pre-order (each node before its children, children
/// left to right). `ops` has one code per node: Const 0, ArgRef 1, Unary
/// 10 + op, Binary 30 + op, Compare 50 + op, Select 70. `consts` holds the bit
/// patterns of the Const nodes and `arg_slots` the ids of the ArgRef nodes,
/// both in walk order. Constants compare by bit pattern, so 0.0 and -0.0 (or
/// NaNs with different payloads) make different keys.
struct KernelKey {
  std::vector<std::uint8_t> ops;
  std::vector<std::uint64_t> consts;
  std::vector<std::uint64_t> arg_slots;

  friend bool operator==(const KernelKey&, const KernelKey&) = default;
};

/// Codes of the node variants in `ops`; operator nodes add their op code.
inline constexpr std::uint8_t kConstCode = 0;
inline constexpr std::uint8_t kArgRefCode = 1;
inline constexpr std::uint8_t kUnaryCodeBase = 10;
inline constexpr std::uint8_t kBinaryCodeBase = 30;
inline constexpr std::uint8_t kCompareCodeBase = 50;
inline constexpr std::uint8_t kSelectCode = 70;

/// The code of `node` in `ops`.
std::uint8_t node_code(const ExprNode& node);

/// The key of `tree`, by one iterative walk.
KernelKey build_kernel_key(const ExprTree& tree);

/// SipHash-1-3 with a zero key over: len(ops) as u64 little-endian, the ops
/// bytes, len(consts), the consts as u64 little-endian words, len(arg_slots),
/// the arg_slots words. Only picks a bucket; equal keys decide a hit.
std::uint64_t fingerprint(const KernelKey& key);

}  // namespace bmx
