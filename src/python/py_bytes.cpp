// Expressions and kernel specs as bytes and back: the private entry points
// the package's pickle reducers call. The layout and its validation are the
// engine's (ir/expr_bytes.h); bad bytes become ValueError with its message.
#include "py_bytes.h"

#include <cstdint>
#include <span>
#include <vector>

#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "ir/expr_bytes.h"
#include "method_table.h"
#include "py_expr.h"
#include "py_kernel.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// Borrows `object`'s bytes into `view`; false with TypeError set unless it
/// is bytes-like and contiguous.
bool borrow_bytes(PyObject* object, BufferView& view) {
  if (!PyObject_CheckBuffer(object)) {
    raise_conversion_error(object, "bytes-like object");
    return false;
  }
  return view.acquire(object, PyBUF_SIMPLE);
}

std::span<const std::uint8_t> bytes_of(const BufferView& view) {
  return {static_cast<const std::uint8_t*>(view.data()), static_cast<std::size_t>(view.get().len)};
}

PyObject* new_bytes(const std::vector<std::uint8_t>& bytes) {
  return expect_object(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size())));
}

PyObject* expr_to_bytes_impl(PyObject*, const BoundArgs& args) {
  const Expr* expr = unwrap_expr(args[0]);
  if (expr == nullptr) return argument_error(args, 0);
  return new_bytes(encode_expr(*expr));
}

PyObject* kernel_spec_to_bytes_impl(PyObject*, const BoundArgs& args) {
  const KernelSpec* spec = payload_of<KernelSpec>(args[0], kernel_spec_type());
  if (spec == nullptr) return argument_error(args, 0);
  return new_bytes(encode_kernel(*spec));
}

// An Expr from bytes carries no record of how it was built.
PyObject* wrap_decoded_expr(Expr expr) { return wrap_expr(std::move(expr)); }

PyObject* wrap_kernel_spec(KernelSpec spec) { return make_instance(kernel_spec_type().get(), std::move(spec)); }

/// The object `wrap` makes of what `decode` finds in the bytes of the one
/// argument; the decoder's refusal as the exception it maps to.
template <auto decode, auto wrap>
PyObject* from_bytes_impl(PyObject*, const BoundArgs& args) {
  BufferView view;
  if (!borrow_bytes(args[0], view)) return argument_error(args, 0);
  auto decoded = decode(bytes_of(view));
  if (!decoded.ok()) return raise_refusal(decoded.error());
  return wrap(std::move(decoded).value());
}

using enum ParamKind;
constexpr Param kBytesExprParams[] = {{"expr", Required}};
constexpr Param kSpecParams[] = {{"spec", Required}};
constexpr Param kDataParams[] = {{"data", Required}};

constexpr Method kBytesFunctions[] = {
    {"_expr_to_bytes", kBytesExprParams, "The bytes of an Expr: its tree and its arguments' names.", expr_to_bytes_impl},
    {"_expr_from_bytes", kDataParams,
     "The Expr the bytes encode, with new argument ids; ValueError for bytes that encode none.",
     from_bytes_impl<decode_expr, wrap_decoded_expr>},
    {"_kernel_spec_to_bytes", kSpecParams, "The bytes of a KernelSpec: its argument names and tree.",
     kernel_spec_to_bytes_impl},
    {"_kernel_spec_from_bytes", kDataParams,
     "The KernelSpec the bytes encode; ValueError for bytes that encode none.",
     from_bytes_impl<decode_kernel, wrap_kernel_spec>},
};

}  // namespace

const ModulePart kBytesPart{method_defs<kBytesFunctions>, nullptr};

}  // namespace bmx::py
