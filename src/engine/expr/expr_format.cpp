// Tree text and number formatting.
#include "expr_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

#include "../internal_failure.h"

namespace bmx {
namespace {

// Below 1e-4 or from 1e16 on, positional text would grow long runs of zeros.
constexpr double kMinPositional = 1e-4;
constexpr double kMaxPositional = 1e16;

// Appends one node's own text ahead of its children: the whole text of a leaf,
// or "Variant(" and, for operators, the operator name.
void append_head(std::string& out, const ExprNode& node) {
  switch (node.tag) {
    case NodeTag::Const:
      out += "Const(";
      out += format_number(node.constant());
      out += ')';
      return;
    case NodeTag::ArgRef:
      out += "ArgRef(";
      out += std::to_string(node.payload);
      out += ')';
      return;
    case NodeTag::Unary:
      out += "Unary(";
      out += op_name(node.unary_op());
      return;
    case NodeTag::Binary:
      out += "Binary(";
      out += op_name(node.binary_op());
      return;
    case NodeTag::Compare:
      out += "Compare(";
      out += op_name(node.compare_op());
      return;
    case NodeTag::Select: out += "Select("; return;
  }
}

}  // namespace

std::string format_number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)XX.
  char scientific[32];
  const auto [end, error] = std::to_chars(std::begin(scientific), std::end(scientific), value,
                                          std::chars_format::scientific);
  check(error == std::errc(), "to_chars of a finite double failed");
  const std::string_view text(scientific, static_cast<std::size_t>(end - scientific));
  const std::size_t e_pos = text.find('e');
  const bool negative = text.front() == '-';
  std::string digits;
  for (const char c : text.substr(negative ? 1 : 0, e_pos - (negative ? 1 : 0))) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

  std::string out = negative ? "-" : "";
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= kMinPositional && magnitude < kMaxPositional)) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const auto int_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
        out += ".0";
      } else {
        out.append(digits, 0, int_digits);
        out += '.';
        out.append(digits, int_digits);
      }
    }
    return out;
  }
  out += digits.front();
  if (digits.size() > 1) {
    out += '.';
    out.append(digits, 1);
  }
  out += 'e';
  out += std::to_string(exponent);
  return out;
}

std::string tree_text(const ExprTree& tree) {
  const std::span<const ExprNode> nodes = tree.nodes();
  std::string out;
  // Open operator nodes, each with the number of its children written so far.
  struct Frame {
    std::size_t index;
    int written;
  };
  std::vector<Frame> open;
  const auto enter = [&](std::size_t index) {
    append_head(out, nodes[index]);
    if (child_count(nodes[index].tag) > 0) open.push_back({index, 0});
  };
  enter(tree.root_index());
  while (!open.empty()) {
    Frame& frame = open.back();
    std::size_t children[3];
    const int count = child_indices(nodes, frame.index, children);
    if (frame.written == count) {
      out += ')';
      open.pop_back();
      continue;
    }
    // Unary, Binary and Compare print their operator before the first child.
    if (frame.written > 0 || nodes[frame.index].tag != NodeTag::Select) out += ", ";
    const std::size_t child = children[frame.written++];
    enter(child);  // may reallocate `open`; `frame` is not used after this
  }
  return out;
}

std::string expr_repr(const Expr& expr) {
  return "Expr(" + (expr.arg_name ? *expr.arg_name : tree_text(to_expr_tree(expr.tree))) + ")";
}

}  // namespace bmx
