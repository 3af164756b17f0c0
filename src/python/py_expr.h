// Expr: the Python class whose operators build expression trees.
#pragma once

#include "py.h"

#include <optional>

#include "expr/expr.h"
#include "py_class.h"

namespace bmx::py {

LazyType& expr_type();

/// A new Expr object holding `expr`.
PyObject* wrap_expr(Expr expr);

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

/// An Expr; else a signed 64-bit integer (int, bool, __index__) as a double;
/// else the interpreter's float conversion. Otherwise TypeError "expected
/// Expr or numeric value" and nullopt.
std::optional<Operand> to_operand(PyObject* object);

}  // namespace bmx::py
