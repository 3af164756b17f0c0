// Channel, RecvCase and py_select.
#include "py_channel.h"

#include <vector>

#include "arg_binder.h"
#include "channel/select.h"
#include "convert.h"
#include "py_buffer.h"
#include "py_ref.h"
#include "wait.h"

namespace bmx::py {

namespace {

using enum ParamKind;

PyObject* send_impl(PyObject* self, const BoundArgs& bound) {
  const BufferRef* buffer = unwrap_buffer(bound[0]);
  if (buffer == nullptr) return argument_error(bound, 0);
  const ChannelHandle& channel = payload<ChannelHandle>(self);
  const std::optional<Result<void>> sent =
      wait_interruptibly([&](const Deadline& deadline) { return channel.send_buffer(*buffer, deadline); });
  if (!sent) return nullptr;
  if (!sent->ok()) return raise_generic(sent->error());
  Py_RETURN_NONE;
}

PyObject* recv_impl(PyObject* self, const BoundArgs&) {
  const ChannelHandle& channel = payload<ChannelHandle>(self);
  std::optional<Result<BufferRef>> got =
      wait_interruptibly([&](const Deadline& deadline) { return channel.recv_buffer(deadline); });
  if (!got) return nullptr;
  if (!got->ok()) return raise_generic(got->error());
  return wrap_buffer(std::move(*got).value());
}

PyObject* close_impl(PyObject* self, const BoundArgs&) {
  (void)payload<ChannelHandle>(self).close();
  Py_RETURN_NONE;
}

PyObject* is_closed_impl(PyObject* self, const BoundArgs&) {
  return PyBool_FromLong(payload<ChannelHandle>(self).is_closed() ? 1 : 0);
}

PyObject* channel_repr(PyObject*) { return PyUnicode_FromString("Channel()"); }

constexpr Param kChannelSendParams[] = {{"buf", Required}};

constexpr Method kChannelMethods[] = {
    {"send", kChannelSendParams, "Send a buffer into the channel.", send_impl},
    {"recv", {}, "Receive a buffer from the channel. Blocks until available.", recv_impl},
    {"close", {}, "Close the channel. Idempotent.", close_impl},
    {"is_closed", {}, "Returns true if the channel has been closed.", is_closed_impl},
};

constexpr ClassDef kChannelClass{
    .name = "Channel",
    .doc = "Python-visible channel handle.",
    .methods = kChannelMethods,
};

PyObject* recv_case_new(PyTypeObject* type, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  return make_instance(type, *channel);
}

constexpr Param kRecvCaseParams[] = {{"channel", Required}};

constexpr ClassDef kRecvCaseClass{
    .name = "RecvCase",
    .doc = "Python-visible `RecvCase` for select.",
    .init = recv_case_new,
    .init_params = kRecvCaseParams,
};

PyObject* py_select_impl(PyObject*, const BoundArgs& bound) {
  std::vector<ChannelHandle> cases;
  for (PyObject* value : bound.var_positional()) {
    const ChannelHandle* channel = payload_of<ChannelHandle>(value, recv_case_type());
    if (channel == nullptr) return argument_error(bound, 0);
    cases.push_back(*channel);
  }
  bool non_blocking = false;
  if (bound[1] != nullptr && !to_bool(bound[1], non_blocking)) return argument_error(bound, 1);

  std::optional<SelectResult> chosen;
  if (non_blocking) {
    chosen = without_gil([&] { return try_select(cases); });
  } else {
    chosen = wait_interruptibly([&](const Deadline& deadline) -> std::optional<SelectResult> {
      SelectResult result = select(cases, deadline);
      if (result.status == SelectStatus::TimedOut) return std::nullopt;
      return result;
    });
    if (!chosen) return nullptr;
  }
  if (chosen->status == SelectStatus::NoneReady) return expect_object(Py_BuildValue("(iO)", -1, Py_None));
  if (chosen->status != SelectStatus::Message || !chosen->message) {
    return raise_generic(ComputeError::channel_closed());
  }
  PyRef index = PyRef::steal(expect_object(PyLong_FromSize_t(chosen->index)));
  PyRef buffer = PyRef::steal(wrap_buffer(std::move(*chosen->message)));
  return expect_object(PyTuple_Pack(2, index.get(), buffer.get()));
}

constexpr Param kSelectParams[] = {{"cases", VarPositional}, {"default", KeywordOnly, "False"}};

constexpr Method kChannelFunctions[] = {
    {"py_select", kSelectParams, "Python-visible select function.", py_select_impl},
};

}  // namespace

LazyType& channel_type() {
  return lazy_type<kChannelClass, ChannelHandle>({{Py_tp_repr, as_slot(channel_repr)}});
}

LazyType& recv_case_type() { return lazy_type<kRecvCaseClass, ChannelHandle>(); }

PyObject* wrap_channel(ChannelHandle handle) { return make_instance(channel_type().get(), std::move(handle)); }

const ChannelHandle* unwrap_channel(PyObject* object) { return payload_of<ChannelHandle>(object, channel_type()); }

const ModulePart kChannelPart{method_defs<kChannelFunctions>, nullptr};

}  // namespace bmx::py
