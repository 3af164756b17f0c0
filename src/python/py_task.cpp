// TaskHandle: waiting for, polling, cancelling and printing a task.
#include "py_task.h"

#include "arg_binder.h"
#include "py_buffer.h"
#include "wait.h"

namespace bmx::py {

namespace {

constexpr Signature kResult{"TaskHandle.result", {}};
constexpr Signature kIsDone{"TaskHandle.is_done", {}};
constexpr Signature kCancel{"TaskHandle.cancel", {}};

PyObject* result_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kResult, args, nargs, kwnames, bound)) return nullptr;
    const TaskRef& task = payload<TaskRef>(self);
    std::optional<Result<TaskOutput>> outcome =
        wait_interruptibly([&](const Deadline& deadline) { return task->wait_until(deadline); });
    if (!outcome) return nullptr;
    if (!outcome->ok()) {
      raise_task_error(outcome->error());
      return nullptr;
    }
    TaskOutput output = std::move(*outcome).value();
    if (auto* buffer = std::get_if<BufferRef>(&output)) return wrap_buffer(std::move(*buffer));
    // A reduction's number comes back as a fresh one-element buffer each time.
    return wrap_buffer(Buffer::from_f64_vec(F64Vec{std::get<double>(output)}));
  });
}

PyObject* is_done_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kIsDone, args, nargs, kwnames, bound)) return nullptr;
    return PyBool_FromLong(payload<TaskRef>(self)->is_done() ? 1 : 0);
  });
}

PyObject* cancel_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kCancel, args, nargs, kwnames, bound)) return nullptr;
    return PyBool_FromLong(payload<TaskRef>(self)->cancel() ? 1 : 0);
  });
}

PyObject* task_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const std::string text = "TaskHandle(state=" + debug_text(payload<TaskRef>(self)->snapshot_state()) + ")";
    return new_text(text);
  });
}

PyMethodDef kMethods[] = {
    {"result", as_method(result_method), kFast, "result($self)\n--\n\nBlock until completion and return result."},
    {"is_done", as_method(is_done_method), kFast, "is_done($self)\n--\n\nCheck if the task is complete."},
    {"cancel", as_method(cancel_method), kFast, "cancel($self)\n--\n\nCancel the task."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible task handle.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<TaskRef>)},
    {Py_tp_methods, kMethods},
    {Py_tp_repr, as_slot(task_repr)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.TaskHandle",
    .basicsize = sizeof(Instance<TaskRef>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

}  // namespace

LazyType& task_handle_type() {
  static LazyType type(kSpec);
  return type;
}

PyObject* wrap_task(TaskRef task) { return make_instance(task_handle_type().get(), std::move(task)); }

}  // namespace bmx::py
