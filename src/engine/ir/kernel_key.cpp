// Building a KernelKey and hashing it.
#include "kernel_key.h"

#include <limits>
#include <string>

#include "../internal_failure.h"
#include "siphash.h"

namespace bmx {

std::uint8_t node_code(NodeTag tag, std::uint8_t op) {
  switch (tag) {
    case NodeTag::Const: return kConstCode;
    case NodeTag::ArgRef: return kArgRefCode;
    case NodeTag::Select: return kSelectCode;
    default: break;
  }
  for (const OperatorCodeRange& range : kOperatorCodeRanges) {
    if (range.tag == tag && op >= range.first_op && op - range.first_op < kOperatorRangeLength) {
      return static_cast<std::uint8_t>(range.base + (op - range.first_op));
    }
  }
  fail("operator code " + std::to_string(op) + " has no node code");
}

std::optional<std::pair<NodeTag, std::uint8_t>> node_of_code(std::uint8_t code) {
  if (code == kConstCode) return std::pair{NodeTag::Const, std::uint8_t{0}};
  if (code == kArgRefCode) return std::pair{NodeTag::ArgRef, std::uint8_t{0}};
  if (code == kSelectCode) return std::pair{NodeTag::Select, std::uint8_t{0}};
  for (const OperatorCodeRange& range : kOperatorCodeRanges) {
    if (code < range.base || code - range.base >= kOperatorRangeLength) continue;
    const auto op = static_cast<std::uint8_t>(range.first_op + (code - range.base));
    const bool known = range.tag == NodeTag::Unary    ? is_unary_op_code(op)
                       : range.tag == NodeTag::Binary ? is_binary_op_code(op)
                                                      : is_compare_op_code(op);
    if (known) return std::pair{range.tag, op};
  }
  return std::nullopt;
}

KernelKey build_kernel_key(const ExprGraph& graph) {
  constexpr std::uint64_t kNotWritten = std::numeric_limits<std::uint64_t>::max();
  const std::span<const GraphNode> nodes = graph.nodes();
  KernelKey key;
  key.ops.reserve(nodes.size());
  // Where each non-leaf node was first written. Leaves are written again at
  // every place, which costs no more than a reference would.
  std::vector<std::uint64_t> written_at(nodes.size(), kNotWritten);
  // Nodes still to visit; the top is the next in pre-order.
  std::vector<std::uint32_t> pending{static_cast<std::uint32_t>(nodes.size() - 1)};
  while (!pending.empty()) {
    const std::uint32_t index = pending.back();
    pending.pop_back();
    const GraphNode& node = nodes[index];
    if (written_at[index] != kNotWritten) {
      key.ops.push_back(kRepeatCode);
      key.repeats.push_back(written_at[index]);
      continue;
    }
    const int children = child_count(node.tag);
    if (children > 0) written_at[index] = key.ops.size();
    key.ops.push_back(node_code(node.tag, node.op));
    if (node.tag == NodeTag::Const) key.consts.push_back(node.payload);
    if (node.tag == NodeTag::ArgRef) key.arg_slots.push_back(node.payload);
    for (int k = children - 1; k >= 0; --k) pending.push_back(node.children[k]);
  }
  return key;
}

std::uint64_t fingerprint(const KernelKey& key) {
  SipHasher13 hasher;
  hasher.write_u64(key.ops.size());
  hasher.write(key.ops);
  hasher.write_u64(key.consts.size());
  for (const std::uint64_t word : key.consts) hasher.write_u64(word);
  hasher.write_u64(key.arg_slots.size());
  for (const std::uint64_t word : key.arg_slots) hasher.write_u64(word);
  // Whether a key has repeats shows in its ops, so leaving out an empty
  // section keeps keys apart.
  if (!key.repeats.empty()) {
    hasher.write_u64(key.repeats.size());
    for (const std::uint64_t word : key.repeats) hasher.write_u64(word);
  }
  return hasher.finish();
}

}  // namespace bmx
