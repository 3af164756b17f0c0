// Writing and validating the bytes of expressions and kernels.
#include "expr_bytes.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "../expr/temp_id.h"
#include "../internal_failure.h"
#include "kernel_key.h"

namespace bmx {
namespace {

constexpr std::uint8_t kVersion = 1;
constexpr char kExprKind = 'E';
constexpr char kKernelKind = 'K';
constexpr std::uint8_t kBareArgumentFlag = 1;
// Seven payload bits per byte: ten bytes hold 64 bits.
constexpr int kMaxVarintBytes = 10;

// --- writing ----------------------------------------------------------------

void write_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

void write_header(std::vector<std::uint8_t>& out, char kind) {
  for (const char byte : {'B', 'M', 'X', kind}) out.push_back(static_cast<std::uint8_t>(byte));
  out.push_back(kVersion);
}

void write_names(std::vector<std::uint8_t>& out, std::span<const std::string> names) {
  write_varint(out, names.size());
  for (const std::string& name : names) {
    write_varint(out, name.size());
    out.insert(out.end(), name.begin(), name.end());
  }
}

void write_nodes(std::vector<std::uint8_t>& out, const ExprTree& tree) {
  write_varint(out, tree.nodes().size());
  for (const ExprNode& node : tree.nodes()) {
    out.push_back(node_code(node.tag, node.op));
    if (node.tag == NodeTag::Const) {
      for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<std::uint8_t>(node.payload >> shift));
    } else if (node.tag == NodeTag::ArgRef) {
      write_varint(out, node.payload);
    }
  }
}

// --- reading ----------------------------------------------------------------

// Strict UTF-8 as Python decodes it: shortest forms only, no surrogates,
// nothing above U+10FFFF.
bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint8_t>(text[i]);
    int extra = 0;
    std::uint32_t code_point = 0;
    std::uint32_t smallest = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      extra = 1, code_point = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code_point = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code_point = lead & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= static_cast<std::size_t>(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<std::uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < smallest || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      return false;
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

// Reads from the front of untrusted bytes. Every read checks the bytes left;
// the first failure is kept as the message, and every read after it fails.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t position() const { return position_; }
  std::size_t left() const { return bytes_.size() - position_; }
  bool failed() const { return failure_.has_value(); }
  std::string take_failure() { return std::move(*failure_); }

  /// Keeps `what` unless a failure is already kept; returns nullopt for the caller to return.
  std::nullopt_t fail(std::string what) {
    if (!failure_) failure_ = std::move(what);
    return std::nullopt;
  }

  std::optional<std::string_view> read_bytes(std::uint64_t count) {
    if (failed()) return std::nullopt;
    if (count > left()) return fail("truncated at byte " + std::to_string(bytes_.size()));
    const auto* start = reinterpret_cast<const char*>(bytes_.data() + position_);
    position_ += static_cast<std::size_t>(count);
    return std::string_view(start, static_cast<std::size_t>(count));
  }

  std::optional<std::uint8_t> read_byte() {
    const std::optional<std::string_view> got = read_bytes(1);
    if (!got) return std::nullopt;
    return static_cast<std::uint8_t>(got->front());
  }

  std::optional<std::uint64_t> read_u64_le() {
    const std::optional<std::string_view> got = read_bytes(8);
    if (!got) return std::nullopt;
    std::uint64_t value = 0;
    for (int k = 7; k >= 0; --k) value = (value << 8) | static_cast<std::uint8_t>((*got)[k]);
    return value;
  }

  /// A varint in its shortest form that fits 64 bits.
  std::optional<std::uint64_t> read_varint() {
    const std::size_t start = position_;
    std::uint64_t value = 0;
    for (int k = 0; k < kMaxVarintBytes; ++k) {
      const std::optional<std::uint8_t> byte = read_byte();
      if (!byte) return std::nullopt;
      const std::uint64_t bits = *byte & 0x7F;
      // The tenth byte holds the 64th bit only.
      if (k == kMaxVarintBytes - 1 && bits > 1) break;
      value |= bits << (7 * k);
      if ((*byte & 0x80) != 0) continue;
      if (k > 0 && bits == 0) break;  // a zero last byte: a longer form than needed
      return value;
    }
    return fail("bad varint at byte " + std::to_string(start));
  }

  /// A count of things that take at least one byte each: no more than the
  /// bytes left, so that reserving for it is bounded by the input's size.
  std::optional<std::uint64_t> read_count(const char* what) {
    const std::size_t start = position_;
    const std::optional<std::uint64_t> count = read_varint();
    if (!count) return std::nullopt;
    if (*count > left()) {
      return fail(std::string(what) + " " + std::to_string(*count) + " at byte " + std::to_string(start) +
                  " exceeds the " + std::to_string(left()) + " bytes left");
    }
    return count;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::optional<std::string> failure_;
};

bool is_bare_argument(std::span<const ExprNode> nodes) {
  return nodes.size() == 1 && nodes.front().tag == NodeTag::ArgRef;
}

// What the bytes of either kind hold once read and checked; ArgRef payloads
// are slots.
struct DecodedTree {
  bool bare_argument = false;
  std::vector<std::string> names;
  std::vector<ExprNode> nodes;
};

std::optional<std::vector<std::string>> read_names(ByteReader& in) {
  const std::optional<std::uint64_t> count = in.read_count("name count");
  if (!count) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(*count));
  for (std::uint64_t slot = 0; slot < *count; ++slot) {
    const std::optional<std::uint64_t> length = in.read_count("name length");
    if (!length) return std::nullopt;
    const std::optional<std::string_view> name = in.read_bytes(*length);
    if (!name) return std::nullopt;
    if (!is_utf8(*name)) return in.fail("name " + std::to_string(slot) + " is not UTF-8");
    names.emplace_back(*name);
  }
  return names;
}

// The post-order nodes, checked as a stack machine would run them: every
// operator finds its operands, exactly one tree remains, every slot is in
// range and used.
std::optional<std::vector<ExprNode>> read_nodes(ByteReader& in, std::size_t name_count) {
  const std::size_t count_at = in.position();
  const std::optional<std::uint64_t> count = in.read_count("node count");
  if (!count) return std::nullopt;
  if (*count == 0) return in.fail("no nodes");
  if (*count > std::numeric_limits<std::uint32_t>::max()) {
    return in.fail("node count " + std::to_string(*count) + " at byte " + std::to_string(count_at) +
                   " exceeds 4294967295");
  }
  std::vector<ExprNode> nodes;
  nodes.reserve(static_cast<std::size_t>(*count));
  std::vector<bool> used(name_count, false);
  std::uint64_t trees = 0;  // subtrees not yet taken as operands
  for (std::uint64_t k = 0; k < *count; ++k) {
    const std::size_t at = in.position();
    const std::optional<std::uint8_t> code = in.read_byte();
    if (!code) return std::nullopt;
    const std::optional<std::pair<NodeTag, std::uint8_t>> kind = node_of_code(*code);
    if (!kind) return in.fail("unknown node code " + std::to_string(*code) + " at byte " + std::to_string(at));
    ExprNode node{kind->first, kind->second, 0, 0};
    if (node.tag == NodeTag::Const) {
      const std::optional<std::uint64_t> bits = in.read_u64_le();
      if (!bits) return std::nullopt;
      node.payload = *bits;
    } else if (node.tag == NodeTag::ArgRef) {
      const std::optional<std::uint64_t> slot = in.read_varint();
      if (!slot) return std::nullopt;
      if (*slot >= name_count) {
        return in.fail("argument slot " + std::to_string(*slot) + " at byte " + std::to_string(at) +
                       " is out of range (" + std::to_string(name_count) + " names)");
      }
      used[static_cast<std::size_t>(*slot)] = true;
      node.payload = *slot;
    }
    const auto arity = static_cast<std::uint64_t>(child_count(node.tag));
    if (arity > trees) return in.fail("operator at byte " + std::to_string(at) + " lacks operands");
    trees = trees - arity + 1;
    nodes.push_back(node);
  }
  if (trees != 1) return in.fail("the nodes form " + std::to_string(trees) + " trees, not one");
  for (std::size_t slot = 0; slot < name_count; ++slot) {
    if (!used[slot]) return in.fail("argument slot " + std::to_string(slot) + " is never used");
  }
  return nodes;
}

std::optional<DecodedTree> read_tree(ByteReader& in, char kind) {
  const std::optional<std::string_view> magic = in.read_bytes(4);
  if (!magic) return std::nullopt;
  const char expected[] = {'B', 'M', 'X', kind};
  if (*magic != std::string_view(expected, sizeof expected)) return in.fail("bad magic");
  const std::optional<std::uint8_t> version = in.read_byte();
  if (!version) return std::nullopt;
  if (*version != kVersion) return in.fail("unsupported version " + std::to_string(*version));
  DecodedTree decoded;
  if (kind == kExprKind) {
    const std::optional<std::uint8_t> flags = in.read_byte();
    if (!flags) return std::nullopt;
    if (*flags > kBareArgumentFlag) return in.fail("bad flags " + std::to_string(*flags));
    decoded.bare_argument = *flags == kBareArgumentFlag;
  }
  std::optional<std::vector<std::string>> names = read_names(in);
  if (!names) return std::nullopt;
  decoded.names = std::move(*names);
  std::optional<std::vector<ExprNode>> nodes = read_nodes(in, decoded.names.size());
  if (!nodes) return std::nullopt;
  decoded.nodes = std::move(*nodes);
  if (in.left() != 0) return in.fail("trailing bytes at byte " + std::to_string(in.position()));
  if (decoded.bare_argument && !is_bare_argument(decoded.nodes)) {
    return in.fail("bare argument flag on a tree that is not one argument");
  }
  // Every expression is built from an argument, so the encoder never writes
  // none, and a kernel needs one to know the size of its result.
  if (decoded.names.empty()) return in.fail("no argument names");
  return decoded;
}

}  // namespace

std::vector<std::uint8_t> encode_expr(const Expr& expr) {
  std::vector<std::string> names;
  std::unordered_map<std::uint64_t, std::uint64_t> slots;
  for (auto& [id, name] : collect_temp_args(expr.tree)) {
    slots.emplace(id, names.size());
    names.push_back(std::move(name));
  }
  const ExprTree tree = to_expr_tree(expr.tree, slots);
  check(!expr.arg_name || is_bare_argument(tree.nodes()), "only a bare argument has an argument name");
  std::vector<std::uint8_t> out;
  write_header(out, kExprKind);
  out.push_back(expr.arg_name ? kBareArgumentFlag : 0);
  write_names(out, names);
  write_nodes(out, tree);
  return out;
}

Result<Expr> decode_expr(std::span<const std::uint8_t> bytes) {
  ByteReader in(bytes);
  std::optional<DecodedTree> decoded = read_tree(in, kExprKind);
  if (!decoded) return ComputeError::arg("invalid expression bytes: " + in.take_failure());
  // Valid: only now draw the ids, one per slot in slot order.
  TempArgs temp_args;
  std::vector<std::uint64_t> ids;
  ids.reserve(decoded->names.size());
  for (std::string& name : decoded->names) {
    ids.push_back(next_temp_id());
    temp_args.emplace(ids.back(), std::move(name));
  }
  for (ExprNode& node : decoded->nodes) {
    if (node.tag == NodeTag::ArgRef) node.payload = ids[static_cast<std::size_t>(node.payload)];
  }
  const ExprTree tree = ExprTree::from_post_order(std::move(decoded->nodes));
  std::optional<std::string> arg_name;
  if (decoded->bare_argument) arg_name = temp_args.begin()->second;
  return Expr{std::move(arg_name), from_expr_tree(tree, temp_args)};
}

std::vector<std::uint8_t> encode_kernel(const KernelSpec& kernel) {
  std::vector<std::uint8_t> out;
  write_header(out, kKernelKind);
  write_names(out, kernel.arg_names);
  write_nodes(out, kernel.tree.expand());
  return out;
}

Result<KernelSpec> decode_kernel(std::span<const std::uint8_t> bytes) {
  ByteReader in(bytes);
  std::optional<DecodedTree> decoded = read_tree(in, kKernelKind);
  if (decoded) {
    std::unordered_set<std::string_view> seen;
    for (std::size_t slot = 0; slot < decoded->names.size(); ++slot) {
      if (!seen.insert(decoded->names[slot]).second) {
        in.fail("argument slot " + std::to_string(slot) + " repeats an earlier name");
        break;
      }
    }
  }
  if (!decoded || in.failed()) return ComputeError::arg("invalid kernel bytes: " + in.take_failure());
  return KernelSpec{std::move(decoded->names), ExprTree::from_post_order(std::move(decoded->nodes))};
}

}  // namespace bmx
