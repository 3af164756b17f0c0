// A channel's synchronous waits for the package: receives and sends with a
// time limit, a select over channels, and read-only arrays over the buffers
// they hand over. Every wait releases the interpreter lock and answers
// Ctrl-C; a time limit that passes is an ordinary answer (None or False),
// never an exception.
#include "py_channel_waits.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "channel/select.h"
#include "convert.h"
#include "method_table.h"
#include "numpy_api.h"
#include "py_buffer.h"
#include "py_channel.h"
#include "py_ref.h"
#include "wait.h"

namespace bmx::py {

namespace {

using enum ParamKind;


/// A read-only one-dimensional float64 array over `buffer`'s storage, which
/// the array keeps alive through a Buffer object as its base.
PyObject* wrap_array(BufferRef buffer) {
  const std::span<const double> values = buffer->as_f64_slice();
  PyRef base = PyRef::steal(wrap_buffer(std::move(buffer)));
  if (!base) return nullptr;
  const NumpyApi& api = numpy_api();
  const Py_ssize_t length = static_cast<Py_ssize_t>(values.size());
  if (length == 0) return new_f64_array(1, &length, false);
  PyObject* descr = expect_object(api.descr_from_type(kNpyDouble));
  // The engine never writes a buffer once made, and neither may the array.
  PyObject* array = api.new_from_descr(api.array_type, descr, 1, &length, nullptr,
                                       const_cast<double*>(values.data()), kNpyArrayCContiguous | kNpyArrayAligned,
                                       nullptr);
  if (array == nullptr) return nullptr;
  // The array owns the Buffer object as its base, as setting NumPy's base
  // object does; a new array has none yet.
  reinterpret_cast<NumpyArrayFields*>(array)->base = base.release();
  return array;
}

/// The seconds in parameter `index` from now; a negative or NaN time means
/// now. Empty with an exception set when they are not a real number.
std::optional<Deadline::Clock::time_point> deadline_after(const BoundArgs& bound, std::size_t index) {
  PyObject* const seconds = bound[index];
  // A float (the package passes one) converts without raising and clearing
  // an error first, which would cost more than a hand-off.
  const double value = PyFloat_AsDouble(seconds);
  if (value == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    raise_conversion_error(seconds, "float");
    argument_error(bound, index);
    return std::nullopt;
  }
  const auto now = Deadline::Clock::now();
  // Beyond a century is as good as never, and stays inside the clock's range.
  const double bounded = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 3.2e9);
  return now + std::chrono::duration_cast<Deadline::Clock::duration>(std::chrono::duration<double>(bounded));
}


PyObject* recv_until_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  const std::optional<Deadline::Clock::time_point> at = deadline_after(bound, 1);
  if (!at) return nullptr;
  std::optional<Result<BufferRef>> got = wait_interruptibly_until(
      *at, [&](const Deadline& deadline) { return channel->recv_buffer(deadline); });
  if (!got) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  if (!got->ok()) return raise_generic(got->error());
  return wrap_array(std::move(*got).value());
}

PyObject* recv_array_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  std::optional<Result<BufferRef>> got =
      wait_interruptibly([&](const Deadline& deadline) { return channel->recv_buffer(deadline); });
  if (!got) return nullptr;
  if (!got->ok()) return raise_generic(got->error());
  return wrap_array(std::move(*got).value());
}

PyObject* buffered_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  return expect_object(PyLong_FromUnsignedLongLong(channel->buffered()));
}

PyObject* as_array_impl(PyObject*, const BoundArgs& bound) {
  const BufferRef* buffer = unwrap_buffer(bound[0]);
  if (buffer == nullptr) return argument_error(bound, 0);
  return wrap_array(*buffer);
}

PyObject* send_until_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  const BufferRef* buffer = unwrap_buffer(bound[1]);
  if (buffer == nullptr) return argument_error(bound, 1);
  const std::optional<Deadline::Clock::time_point> at = deadline_after(bound, 2);
  if (!at) return nullptr;
  const std::optional<Result<void>> sent = wait_interruptibly_until(
      *at, [&](const Deadline& deadline) { return channel->send_buffer(*buffer, deadline); });
  if (!sent) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_FALSE;
  }
  if (!sent->ok()) return raise_generic(sent->error());
  Py_RETURN_TRUE;
}

PyObject* select_until_impl(PyObject*, const BoundArgs& bound) {
  std::span<PyObject* const> items;
  if (!to_tuple_items(bound[0], items)) return argument_error(bound, 0);
  std::vector<ChannelHandle> cases;
  for (PyObject* item : items) {
    const ChannelHandle* channel = unwrap_channel(item);
    if (channel == nullptr) return argument_error(bound, 0);
    cases.push_back(*channel);
  }
  if (cases.empty()) return set_error(PyExc_ValueError, "_select_until() needs at least one channel");
  const std::optional<Deadline::Clock::time_point> at = deadline_after(bound, 1);
  if (!at) return nullptr;
  std::optional<SelectResult> chosen =
      wait_interruptibly_until(*at, [&](const Deadline& deadline) -> std::optional<SelectResult> {
        SelectResult result = select(cases, deadline);
        if (result.status == SelectStatus::TimedOut) return std::nullopt;
        return result;
      });
  if (!chosen) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  if (!chosen->message) return raise_generic(ComputeError::channel_closed());
  PyRef index = PyRef::steal(expect_object(PyLong_FromSize_t(chosen->index)));
  PyRef array = PyRef::steal(wrap_array(std::move(*chosen->message)));
  if (!array) return nullptr;
  return expect_object(PyTuple_Pack(2, index.get(), array.get()));
}

constexpr Param kChannelParams[] = {{"channel", Required}};
constexpr Param kBufferParams[] = {{"buf", Required}};
constexpr Param kRecvUntilParams[] = {{"channel", Required}, {"timeout", Required}};
constexpr Param kSendUntilParams[] = {{"channel", Required}, {"buf", Required}, {"timeout", Required}};
constexpr Param kSelectUntilParams[] = {{"channels", Required}, {"timeout", Required}};

constexpr Method kChannelWaitsFunctions[] = {
    {"_recv_array", kChannelParams, "Channel.recv returning a read-only array over the buffer.", recv_array_impl},
    {"_buffered", kChannelParams, "How many sent values wait in the channel now.", buffered_impl},
    {"_as_array", kBufferParams, "A read-only array over a Buffer's storage.", as_array_impl},
    {"_recv_until", kRecvUntilParams, "_recv_array giving up after `timeout` seconds with None.",
     recv_until_impl},
    {"_send_until", kSendUntilParams, "Channel.send giving up after `timeout` seconds: True once sent.",
     send_until_impl},
    {"_select_until", kSelectUntilParams,
     "(index, read-only array) from the first ready channel of a tuple, or None after `timeout` seconds.",
     select_until_impl},
};

bool add_channel_closed_text(PyObject* module) {
  const PyRef text = PyRef::steal(PyUnicode_FromString(display_text(ComputeError::channel_closed()).c_str()));
  return text && PyObject_SetAttrString(module, "_CHANNEL_CLOSED", text.get()) == 0;
}

}  // namespace

const ModulePart kChannelWaitsPart{method_defs<kChannelWaitsFunctions>, add_channel_closed_text};

}  // namespace bmx::py
