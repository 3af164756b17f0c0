// Expr: the Python class whose operators build expression trees.
#pragma once

#include "py.h"

#include <initializer_list>
#include <optional>

#include "expr/expr.h"
#include "py_class.h"
#include "py_ref.h"

namespace bmx::py {

/// What an Expr object holds: the expression, and the package's record of
/// how it was built (null where unknown). The expression keeps constants as
/// doubles; the record keeps each number as the caller gave it, so that the
/// package can type a kernel as NumPy types the same Python line (an int
/// stays an int, a NumPy scalar keeps its dtype).
///
/// A record is an argument's ("arg", name), or an operation's tuple of its
/// name (an operator's symbol, "u-" for negation, or an elementwise
/// function's name) and its operands, each an Expr's record or a number as
/// given. Records nest as tuples, which the interpreter frees without deep
/// recursion, and never hold an Expr.
struct ExprValue {
  Expr expr;
  PyRef record;
};

LazyType& expr_type();

/// A new Expr object holding `expr`, with `record` (null: unknown).
PyObject* wrap_expr(Expr expr, PyRef record = {});

/// The value of an Expr object; the conversion error (expected 'Expr') with nullptr otherwise.
const Expr* unwrap_expr(PyObject* object);

/// An operand of an operator or of where_: an Expr as it is, or a number as a
/// constant. Holds the constant itself, or points at the Expr object's value.
class Operand {
 public:
  const Expr& get() const { return constant_ ? *constant_ : *expr_; }

 private:
  friend std::optional<Operand> to_operand(PyObject* object);
  std::optional<Expr> constant_;
  const Expr* expr_ = nullptr;
};

/// The record of an operation named `name` over `operands` (Exprs and
/// numbers); null when an Expr operand's record is unknown.
PyRef record_of(const char* name, std::initializer_list<PyObject*> operands);

/// An Expr; else a signed 64-bit integer (int, bool, __index__) as a double;
/// else the interpreter's float conversion. Otherwise TypeError "expected
/// Expr or numeric value" and nullopt.
std::optional<Operand> to_operand(PyObject* object);

}  // namespace bmx::py
