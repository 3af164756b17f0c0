// Text forms of expressions: the tree text that repr prints and the shortest
// round-trip spelling of its constants.
#pragma once

#include <string>

#include "expr.h"
#include "expr_node.h"

namespace bmx {

/// The shortest decimal digits that read back as `value`. Positional with at
/// least one digit after the point when the value is 0 or 1e-4 <= |value| <
/// 1e16 ("2.0", "0.5", "-0.0", "0.0001"); otherwise scientific with a
/// lower-case e and a bare exponent ("1e16", "1.5e-5", "-2.5e20"). "NaN" for
/// every NaN, "inf" and "-inf" for the infinities.
std::string format_number(double value);

/// "Binary(Add, Binary(Mul, ArgRef(0), Const(2.0)), Const(1.0))": variant
/// name, then the operator name and the children, separated by ", ".
/// Iterative, so trees of any depth are safe.
std::string tree_text(const ExprTree& tree);

/// "Expr(" + the argument name when present, else the tree text, + ")".
std::string expr_repr(const Expr& expr);

}  // namespace bmx
