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

constexpr Param kBufParam[] = {{"buf", ParamKind::Required}};
constexpr Param kChannelParam[] = {{"channel", ParamKind::Required}};
constexpr Signature kSend{"Channel.send", kBufParam};
constexpr Signature kRecv{"Channel.recv", {}};
constexpr Signature kClose{"Channel.close", {}};
constexpr Signature kIsClosed{"Channel.is_closed", {}};
constexpr Signature kRecvCaseNew{"RecvCase.__new__", kChannelParam};

PyObject* send_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kSend, args, nargs, kwnames, bound)) return nullptr;
    const BufferRef* buffer = unwrap_buffer(bound[0]);
    if (buffer == nullptr) return argument_error("buf");
    const ChannelHandle& channel = payload<ChannelHandle>(self);
    // Only the first slice looks at `closed`: a send under way when the
    // channel closes is not stopped.
    bool started = false;
    const std::optional<Result<void>> sent = wait_interruptibly([&](const Deadline& deadline) {
      const bool first = !std::exchange(started, true);
      return first ? channel.send_buffer(*buffer, deadline) : channel.continue_send(*buffer, deadline);
    });
    if (!sent) return nullptr;
    if (!sent->ok()) {
      raise_generic(sent->error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* recv_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kRecv, args, nargs, kwnames, bound)) return nullptr;
    const ChannelHandle& channel = payload<ChannelHandle>(self);
    std::optional<Result<BufferRef>> got =
        wait_interruptibly([&](const Deadline& deadline) { return channel.recv_buffer(deadline); });
    if (!got) return nullptr;
    if (!got->ok()) {
      raise_generic(got->error());
      return nullptr;
    }
    return wrap_buffer(std::move(*got).value());
  });
}

PyObject* close_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kClose, args, nargs, kwnames, bound)) return nullptr;
    (void)payload<ChannelHandle>(self).close();
    Py_RETURN_NONE;
  });
}

PyObject* is_closed_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kIsClosed, args, nargs, kwnames, bound)) return nullptr;
    return PyBool_FromLong(payload<ChannelHandle>(self).is_closed() ? 1 : 0);
  });
}

PyObject* channel_repr(PyObject*) { return PyUnicode_FromString("Channel()"); }

PyMethodDef kChannelMethods[] = {
    {"send", as_method(send_method), kFast, "send($self, buf)\n--\n\nSend a buffer into the channel."},
    {"recv", as_method(recv_method), kFast,
     "recv($self)\n--\n\nReceive a buffer from the channel. Blocks until available."},
    {"close", as_method(close_method), kFast, "close($self)\n--\n\nClose the channel. Idempotent."},
    {"is_closed", as_method(is_closed_method), kFast,
     "is_closed($self)\n--\n\nReturns true if the channel has been closed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kChannelSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible channel handle.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChannelHandle>)},
    {Py_tp_methods, kChannelMethods},
    {Py_tp_repr, as_slot(channel_repr)},
    {0, nullptr},
};

PyType_Spec kChannelSpec = {
    .name = "builtins.Channel",
    .basicsize = sizeof(Instance<ChannelHandle>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kChannelSlots,
};

PyObject* recv_case_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind_tuple(kRecvCaseNew, args, kwargs, bound)) return nullptr;
    const ChannelHandle* channel = unwrap_channel(bound[0]);
    if (channel == nullptr) return argument_error("channel");
    return make_instance(type, *channel);
  });
}

PyType_Slot kRecvCaseSlots[] = {
    {Py_tp_doc, const_cast<char*>("RecvCase(channel)\n--\n\nPython-visible `RecvCase` for select.")},
    {Py_tp_new, as_slot(recv_case_new)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChannelHandle>)},
    {0, nullptr},
};

PyType_Spec kRecvCaseSpec = {
    .name = "builtins.RecvCase",
    .basicsize = sizeof(Instance<ChannelHandle>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kRecvCaseSlots,
};

constexpr Param kSelectParams[] = {{"cases", ParamKind::VarPositional}, {"default", ParamKind::KeywordOnly}};
constexpr Signature kSelect{"py_select", kSelectParams};

PyObject* py_select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kSelect, args, nargs, kwnames, bound)) return nullptr;
    std::vector<Receiver> cases;
    for (PyObject* value : bound.var_positional()) {
      if (!is_instance(value, recv_case_type().get())) {
        raise_conversion_error(value, "RecvCase");
        return argument_error("cases");
      }
      cases.push_back(payload<ChannelHandle>(value).receiver());
    }
    bool non_blocking = false;
    if (bound[1] != nullptr && !to_bool(bound[1], non_blocking)) return argument_error("default");

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
      raise_generic(ComputeError::channel_closed());
      return nullptr;
    }
    PyRef index = PyRef::steal(expect_object(PyLong_FromSize_t(chosen->index)));
    PyRef buffer = PyRef::steal(wrap_buffer(std::move(*chosen->message)));
    return expect_object(PyTuple_Pack(2, index.get(), buffer.get()));
  });
}

}  // namespace

LazyType& channel_type() {
  static LazyType type(kChannelSpec);
  return type;
}

LazyType& recv_case_type() {
  static LazyType type(kRecvCaseSpec);
  return type;
}

PyObject* wrap_channel(ChannelHandle handle) { return make_instance(channel_type().get(), std::move(handle)); }

const ChannelHandle* unwrap_channel(PyObject* object) {
  if (!is_instance(object, channel_type().get())) {
    raise_conversion_error(object, "Channel");
    return nullptr;
  }
  return &payload<ChannelHandle>(object);
}

PyMethodDef& py_select_def() {
  static PyMethodDef def = {"py_select", as_method(py_select), kFast,
                            "py_select(*cases, default=False)\n--\n\nPython-visible select function."};
  return def;
}

}  // namespace bmx::py
