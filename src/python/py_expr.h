// Expr: the Python class whose operators build expression trees.
#pragma once

#include "py.h"

#include <optional>
#include <span>

#include "expr/expr.h"
#include "expr_record.h"
#include "py_class.h"
#include "py_ref.h"

namespace bmx::py {

/// What an Expr object holds: the expression, and the package's record of
/// how it was built (null where unknown). The expression keeps constants as
/// doubles; the record keeps each number as the caller gave it, so that the
/// package can type a kernel as NumPy types the same Python line (an int
/// stays an int, a NumPy scalar keeps its dtype).
struct ExprValue {
  Expr expr;
  Record record;
};

LazyType& expr_type();

/// A new Expr object holding `expr`, with `record` (null: unknown).
PyObject* wrap_expr(Expr expr, Record record = {});

/// The record of an Expr object (null: unknown); `object` must be an Expr.
const Record& record_of_expr(PyObject* object);

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

/// The record of an operation named `name` (a str) over `operands` (Exprs
/// and numbers); null when an Expr operand's record is unknown.
Record record_of(PyRef name, std::span<PyObject* const> operands);

/// An Expr; else a signed 64-bit integer (int, bool, __index__) as a double;
/// else the interpreter's float conversion. Otherwise TypeError "expected
/// Expr or numeric value" and nullopt.
std::optional<Operand> to_operand(PyObject* object);

}  // namespace bmx::py
