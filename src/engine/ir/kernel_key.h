// KernelKey: the structural key of a kernel tree, and its fingerprint.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "../expr/expr_graph.h"

namespace bmx {

/// A tree's structure in pre-order (each node before its children, children
/// left to right), with every repeat of a non-leaf subtree that the walk has
/// already written replaced by a reference to it. `ops` has one code per
/// written node: Const 0, ArgRef 1, Unary 10 + op (110 + op - 20 from op 20
/// on), Binary 30 + op, Compare 50 + op, Select 70, and a repeat 90. `consts`
/// holds the bit patterns of the Const nodes, `arg_slots` the ids of the
/// ArgRef nodes, both in walk order, and `repeats` for each repeat the
/// position in `ops` of the subtree it repeats. Equal subtrees never nest, so
/// a subtree is complete before its first repeat begins, and the key is a
/// function of the tree's structure alone, however the tree shares its nodes;
/// its size is linear in the distinct subtrees. A tree without repeated
/// subtrees has no repeats, and its key is its plain pre-order. Constants
/// compare by bit pattern, so 0.0 and -0.0 (or NaNs with different payloads)
/// make different keys.
struct KernelKey {
  std::vector<std::uint8_t> ops;
  std::vector<std::uint64_t> consts;
  std::vector<std::uint64_t> arg_slots;
  std::vector<std::uint64_t> repeats;

  friend bool operator==(const KernelKey&, const KernelKey&) = default;
};

/// Codes of the node variants in `ops`.
inline constexpr std::uint8_t kConstCode = 0;
inline constexpr std::uint8_t kArgRefCode = 1;
inline constexpr std::uint8_t kSelectCode = 70;
inline constexpr std::uint8_t kRepeatCode = 90;

/// Operator nodes are numbered in ranges of kOperatorRangeLength codes: the
/// node of operator `op` of a range's tag, first_op <= op < first_op +
/// length, has code base + (op - first_op). The unary operators outgrew their
/// first range; their later codes continue in a range of their own, so the
/// codes of the first operators (and the bytes that expr_bytes made of them)
/// stay as they were.
struct OperatorCodeRange {
  NodeTag tag;
  std::uint8_t base;
  std::uint8_t first_op;
};

inline constexpr std::uint8_t kOperatorRangeLength = 20;
inline constexpr OperatorCodeRange kOperatorCodeRanges[] = {
    {NodeTag::Unary, 10, 0}, {NodeTag::Binary, 30, 0}, {NodeTag::Compare, 50, 0}, {NodeTag::Unary, 110, 20}};

static_assert(std::size(kUnaryOps) <= 2 * kOperatorRangeLength && std::size(kBinaryOps) <= kOperatorRangeLength,
              "an operator without a node code in the kernel key");

/// The code in `ops` of a node with this tag and operator code.
std::uint8_t node_code(NodeTag tag, std::uint8_t op);

/// The tag and operator code of the node whose code is `code`, for the codes
/// that `node_code` gives; nullopt for every other code.
std::optional<std::pair<NodeTag, std::uint8_t>> node_of_code(std::uint8_t code);

/// The key of the tree `graph` stands for, by one iterative walk over its
/// distinct nodes.
KernelKey build_kernel_key(const ExprGraph& graph);

/// SipHash-1-3 with a zero key over: len(ops) as u64 little-endian, the ops
/// bytes, len(consts), the consts as u64 little-endian words, len(arg_slots),
/// the arg_slots words, and, when there are repeats, len(repeats) and the
/// repeats words. Only picks a bucket; equal keys decide a hit.
std::uint64_t fingerprint(const KernelKey& key);

}  // namespace bmx
