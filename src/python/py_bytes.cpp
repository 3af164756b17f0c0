// Expressions and kernel specs as bytes and back: the private entry points
// the package's pickle reducers call. The layout and its validation are the
// engine's (ir/expr_bytes.h); bad bytes become ValueError with its message.
#include "py_bytes.h"

#include <cstdint>
#include <span>
#include <vector>

#include "boundary.h"
#include "convert.h"
#include "ir/expr_bytes.h"
#include "method_table.h"
#include "py_expr.h"
#include "py_kernel.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// A borrowed view of a bytes-like object's memory, released with the scope.
class BytesView {
 public:
  BytesView() = default;
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;
  ~BytesView() {
    if (held_) PyBuffer_Release(&view_);
  }

  /// Borrows `object`'s bytes; false with TypeError set unless it is bytes-like and contiguous.
  bool borrow(PyObject* object) {
    if (!PyObject_CheckBuffer(object)) {
      raise_conversion_error(object, "bytes-like object");
      return false;
    }
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) return false;
    held_ = true;
    return true;
  }

  std::span<const std::uint8_t> bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* new_bytes(const std::vector<std::uint8_t>& bytes) {
  return expect_object(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

PyObject* expr_to_bytes_impl(PyObject*, const BoundArgs& args) {
  const Expr* expr = unwrap_expr(args[0]);
  if (expr == nullptr) return argument_error(args.name(0));
  return new_bytes(encode_expr(*expr));
}

PyObject* expr_from_bytes_impl(PyObject*, const BoundArgs& args) {
  BytesView view;
  if (!view.borrow(args[0])) return argument_error(args.name(0));
  Result<Expr> expr = decode_expr(view.bytes());
  if (!expr.ok()) return raise_refusal(expr.error());
  return wrap_expr(std::move(expr).value());
}

PyObject* kernel_spec_to_bytes_impl(PyObject*, const BoundArgs& args) {
  if (!is_instance(args[0], kernel_spec_type().get())) {
    raise_conversion_error(args[0], "KernelSpec");
    return argument_error(args.name(0));
  }
  return new_bytes(encode_kernel(payload<KernelSpec>(args[0])));
}

PyObject* kernel_spec_from_bytes_impl(PyObject*, const BoundArgs& args) {
  BytesView view;
  if (!view.borrow(args[0])) return argument_error(args.name(0));
  Result<KernelSpec> kernel = decode_kernel(view.bytes());
  if (!kernel.ok()) return raise_refusal(kernel.error());
  return make_instance(kernel_spec_type().get(), std::move(kernel).value());
}

using enum ParamKind;
constexpr Param kExprParams[] = {{"expr", Required}};
constexpr Param kSpecParams[] = {{"spec", Required}};
constexpr Param kDataParams[] = {{"data", Required}};

constexpr Method kFunctions[] = {
    {"_expr_to_bytes", kExprParams, "The bytes of an Expr: its tree and its arguments' names.", expr_to_bytes_impl},
    {"_expr_from_bytes", kDataParams,
     "The Expr the bytes encode, with new argument ids; ValueError for bytes that encode none.",
     expr_from_bytes_impl},
    {"_kernel_spec_to_bytes", kSpecParams, "The bytes of a KernelSpec: its argument names and tree.",
     kernel_spec_to_bytes_impl},
    {"_kernel_spec_from_bytes", kDataParams,
     "The KernelSpec the bytes encode; ValueError for bytes that encode none.", kernel_spec_from_bytes_impl},
};

}  // namespace

PyMethodDef* bytes_functions() { return method_defs<kFunctions>(); }

}  // namespace bmx::py
