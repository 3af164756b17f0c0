// Building a KernelKey and hashing it.
#include "kernel_key.h"

#include "siphash.h"

namespace bmx {

std::uint8_t node_code(const ExprNode& node) {
  switch (node.tag) {
    case NodeTag::Const: return kConstCode;
    case NodeTag::ArgRef: return kArgRefCode;
    case NodeTag::Unary: return static_cast<std::uint8_t>(kUnaryCodeBase + node.op);
    case NodeTag::Binary: return static_cast<std::uint8_t>(kBinaryCodeBase + node.op);
    case NodeTag::Compare: return static_cast<std::uint8_t>(kCompareCodeBase + node.op);
    case NodeTag::Select: return kSelectCode;
  }
  return 0;
}

KernelKey build_kernel_key(const ExprTree& tree) {
  const std::span<const ExprNode> nodes = tree.nodes();
  KernelKey key;
  key.ops.reserve(nodes.size());
  // Nodes still to visit; the top is the next in pre-order.
  std::vector<std::size_t> pending{tree.root_index()};
  while (!pending.empty()) {
    const std::size_t index = pending.back();
    pending.pop_back();
    const ExprNode& node = nodes[index];
    key.ops.push_back(node_code(node));
    if (node.tag == NodeTag::Const) key.consts.push_back(node.payload);
    if (node.tag == NodeTag::ArgRef) key.arg_slots.push_back(node.payload);
    std::size_t children[3];
    const int count = child_indices(nodes, index, children);
    for (int k = count - 1; k >= 0; --k) pending.push_back(children[k]);
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
  return hasher.finish();
}

}  // namespace bmx
