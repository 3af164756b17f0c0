// The strict sum carried across the chunks of a chunked array (the Dask
// integration's chain): each chunk's fold continues from the running total the
// previous chunk left, so the chain ends with the bits of one sum over the
// whole array. The carry crosses processes as a float and an int.
#include "py_sum_chain.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "boundary.h"
#include "buffer_view.h"
#include "convert.h"
#include "eval/reduce.h"
#include "method_table.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

/// Whether a struct-module format names a native double: "d", or "d" with an
/// explicit native byte order, as arrays rebuilt from the network carry ("<d").
bool is_native_double(const char* format) {
  if (format == nullptr) return false;
  const bool little = std::endian::native == std::endian::little;
  if (*format == '@' || *format == '=' || (*format == (little ? '<' : '>'))) ++format;
  return std::strcmp(format, "d") == 0;
}

/// `object`'s memory as C-contiguous doubles, borrowed through `view`;
/// nullopt with the error set unless it is exactly that. Data off a double's
/// alignment (a frame from the network, an offset view of bytes) is refused,
/// since reading it as doubles is undefined.
std::optional<std::span<const double>> borrow_doubles(PyObject* object, BufferView& view) {
  if (!view.acquire(object, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return std::nullopt;
  const Py_buffer& raw = view.get();
  if (raw.itemsize != sizeof(double) || !is_native_double(raw.format)) {
    raise_conversion_error(object, "contiguous float64 buffer");
    return std::nullopt;
  }
  if (reinterpret_cast<std::uintptr_t>(raw.buf) % alignof(double) != 0) {
    raise_conversion_error(object, "aligned float64 buffer");
    return std::nullopt;
  }
  const auto count = static_cast<std::size_t>(raw.len) / sizeof(double);
  return std::span<const double>(static_cast<const double*>(raw.buf), count);
}

/// The carry from the `total` and `count` arguments; nullopt with the argument's error set.
std::optional<SumCarry> to_carry(const BoundArgs& args) {
  if (!PyFloat_Check(args[0])) {
    raise_conversion_error(args[0], "float");
    argument_error(args.name(0));
    return std::nullopt;
  }
  SumCarry carry{PyFloat_AS_DOUBLE(args[0]), 0};
  if (!to_u64(args[1], carry.count)) {
    argument_error(args.name(1));
    return std::nullopt;
  }
  return carry;
}

PyObject* continue_sum_impl(PyObject*, const BoundArgs& args) {
  std::optional<SumCarry> carry = to_carry(args);
  if (!carry) return nullptr;
  BufferView view;
  const std::optional<std::span<const double>> values = borrow_doubles(args[2], view);
  if (!values) return argument_error(args.name(2));
  carry = without_gil([&] { return continue_sum(*carry, *values); });
  return expect_object(Py_BuildValue("(dK)", carry->total, static_cast<unsigned long long>(carry->count)));
}

PyObject* finish_sum_impl(PyObject*, const BoundArgs& args) {
  const std::optional<SumCarry> carry = to_carry(args);
  if (!carry) return nullptr;
  bool mean = false;
  if (!to_bool(args[2], mean)) return argument_error(args.name(2));
  const Result<double> total = mean ? finish_mean(*carry) : finish_sum(*carry);
  if (!total.ok()) return raise_task_error(total.error());
  return expect_object(PyFloat_FromDouble(total.value()));
}

using enum ParamKind;
constexpr Param kContinueParams[] = {{"total", Required}, {"count", Required}, {"values", Required}};
constexpr Param kFinishParams[] = {{"total", Required}, {"count", Required}, {"mean", Required}};

constexpr Method kFunctions[] = {
    {"_continue_sum", kContinueParams,
     "The strict sum's carry (total, count) after adding `values` left to right.", continue_sum_impl},
    {"_finish_sum", kFinishParams, "The Sum (or Mean) of a finished chain; ValueError when it saw no element.",
     finish_sum_impl},
};

}  // namespace

PyMethodDef* sum_chain_functions() { return method_defs<kFunctions>(); }

}  // namespace bmx::py
