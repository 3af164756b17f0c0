// TaskHandle: waiting for, polling, cancelling and printing a task.
#include "py_task.h"

#include "arg_binder.h"
#include "py_buffer.h"
#include "wait.h"

namespace bmx::py {

namespace {

PyObject* result_impl(PyObject* self, const BoundArgs&) {
  const TaskRef& task = payload<TaskRef>(self);
  std::optional<Result<TaskOutput>> outcome =
      wait_interruptibly([&](const Deadline& deadline) { return task->wait_until(deadline); });
  if (!outcome) return nullptr;
  if (!outcome->ok()) return raise_task_error(outcome->error());
  TaskOutput output = std::move(*outcome).value();
  if (auto* buffer = std::get_if<BufferRef>(&output)) return wrap_buffer(std::move(*buffer));
  // A reduction's number comes back as a fresh one-element buffer each time.
  return wrap_buffer(Buffer::from_f64_vec(F64Vec{std::get<double>(output)}));
}

PyObject* is_done_impl(PyObject* self, const BoundArgs&) {
  return PyBool_FromLong(payload<TaskRef>(self)->is_done() ? 1 : 0);
}

PyObject* cancel_impl(PyObject* self, const BoundArgs&) {
  return PyBool_FromLong(payload<TaskRef>(self)->cancel() ? 1 : 0);
}

PyObject* task_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const std::string text = "TaskHandle(state=" + debug_text(payload<TaskRef>(self)->snapshot_state()) + ")";
    return new_text(text);
  });
}

constexpr Method kTaskMethods[] = {
    {"result", {}, "Block until completion and return result.", result_impl},
    {"is_done", {}, "Check if the task is complete.", is_done_impl},
    {"cancel", {}, "Cancel the task.", cancel_impl},
};

constexpr ClassDef kTaskClass{.name = "TaskHandle", .doc = "Python-visible task handle.", .methods = kTaskMethods};

}  // namespace

LazyType& task_handle_type() { return lazy_type<kTaskClass, TaskRef>({{Py_tp_repr, as_slot(task_repr)}}); }

PyObject* wrap_task(TaskRef task) { return make_instance(task_handle_type().get(), std::move(task)); }

}  // namespace bmx::py
