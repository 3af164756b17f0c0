// Asynchronous submissions, receives and sends, and the settle queue.
//
// Every asynchronous entry takes a token, an integer the package chooses: the
// task posts it to the settle queue when it becomes terminal, and the
// package's one settler thread, blocked in _take_settled, learns from it which
// of its futures to settle. Engine threads never touch a Python object: a
// task holds engine buffers only, and the package keeps the Python objects
// involved alive until it has settled the future.
#include "py_tasks.h"

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "arg_binder.h"
#include "boundary.h"
#include "eval/evaluate.h"
#include "convert.h"
#include "method_table.h"
#include "py_buffer.h"
#include "py_channel.h"
#include "py_class.h"
#include "py_evaluate.h"
#include "py_kernel.h"
#include "py_ref.h"
#include "py_runtime.h"
#include "py_task.h"
#include "py_typed.h"
#include "runtime/delivery.h"
#include "runtime/receive_agent.h"
#include "runtime/settle_queue.h"
#include "runtime/submit.h"
#include "runtime/task_runner.h"
#include "wait.h"

namespace bmx::py {

namespace {

using enum ParamKind;

/// A new task that posts the token in parameter `index` when it settles;
/// empty with TypeError set when the token is not an unsigned 64-bit integer.
std::optional<TaskRef> new_task(const BoundArgs& bound, std::size_t index) {
  std::uint64_t value = 0;
  if (!to_u64(bound[index], value)) {
    argument_error(bound, index);
    return std::nullopt;
  }
  auto task = std::make_shared<Task>();
  task->notify_on_settle(value);
  return task;
}

const TaskRef* as_task(PyObject* object) { return payload_of<TaskRef>(object, task_handle_type()); }

PyObject* go_async_impl(PyObject*, const BoundArgs& bound) {
  std::optional<Submission> submission = read_submission(bound, 2, "_go_async");
  if (!submission) return nullptr;
  std::optional<TaskRef> task = new_task(bound, 1);
  if (!task) return nullptr;
  if (submission->map != nullptr) {
    submit_map(*task, *submission->map, std::move(submission->out));
  } else {
    submit_reduce(*task, *submission->reduce, std::move(submission->out));
  }
  return wrap_task(std::move(*task));
}

/// Where a submitted evaluation is: the runner moves it from kWaiting to
/// kRunning and then kFinished; a hold dropped before it started moves it to
/// kAbandoned, and the runner then leaves the memory alone.
enum Phase : int { kWaiting, kRunning, kFinished, kAbandoned };

/// What a submitted evaluation reads and writes (its views and output), kept
/// by the package until the task has settled and released with the
/// interpreter lock held, as Python objects are. A hold dropped while the
/// engine may still touch the memory (only when the interpreter ends with
/// the work under way) leaks it rather than free it under the engine.
template <class Prepared>
struct Hold {
  std::shared_ptr<std::atomic<int>> phase;
  std::unique_ptr<Prepared> prepared;

  Hold(std::shared_ptr<std::atomic<int>> phase, std::unique_ptr<Prepared> prepared)
      : phase(std::move(phase)), prepared(std::move(prepared)) {}
  Hold(Hold&&) = default;
  Hold& operator=(Hold&&) = delete;
  ~Hold() {
    if (!phase) return;
    int expected = kWaiting;
    if (!phase->compare_exchange_strong(expected, kAbandoned) && expected == kRunning) (void)prepared.release();
  }
};

constexpr ClassDef kEvaluationHoldClass{
    .name = "_EvaluationHold",
    .doc = "The memory an _evaluate_async reads and writes, kept until its task settles.",
};

constexpr ClassDef kTypedHoldClass{
    .name = "_TypedEvaluationHold",
    .doc = "The memory a _typed_evaluate_async reads and writes, kept until its task settles.",
};

using EvaluationHold = Hold<PreparedEvaluation>;
using TypedHold = Hold<PreparedTyped>;

LazyType& evaluation_hold_type() { return lazy_type<kEvaluationHoldClass, EvaluationHold>(); }
LazyType& typed_hold_type() { return lazy_type<kTypedHoldClass, TypedHold>(); }

/// Marks the evaluation finished when the runner leaves its scope, also by an
/// exception: the package may drop the hold as soon as the task has settled.
struct Finish {
  std::atomic<int>& phase;
  ~Finish() { phase.store(kFinished); }
};

// _evaluate_async(kernel, operands, out, token): _evaluate_into's preparation,
// then the engine call queued on the task runner. None when the operands are
// not ready to be read in place; else (TaskHandle, output array, hold).
PyObject* evaluate_async_impl(PyObject*, const BoundArgs& bound) {
  std::optional<TaskRef> task = new_task(bound, 3);
  if (!task) return nullptr;
  std::optional<PreparedEvaluation> prepared = prepare_evaluation(bound, false);
  if (!prepared) {
    if (PyErr_Occurred() != nullptr) return nullptr;
    Py_RETURN_NONE;
  }
  PyRef result = prepared->result;
  const auto phase = std::make_shared<std::atomic<int>>(kWaiting);
  auto owned = std::make_unique<PreparedEvaluation>(std::move(*prepared));
  if (owned->target.empty()) {
    phase->store(kFinished);
    (*task)->complete(0.0);
  } else {
    // Spans and the compiled kernel only: the runner never touches a Python object.
    run_on_runner(*task, [task = *task, phase, compiled = owned->compiled, sources = owned->sources,
                          target = owned->target] {
      int expected = kWaiting;
      if (!phase->compare_exchange_strong(expected, kRunning)) return;
      {
        const Finish finish{*phase};
        evaluate_into(*compiled, sources, target);
      }
      // The values are in the output array; the task only tells when.
      task->complete(0.0);
    });
  }
  PyRef handle = PyRef::steal(wrap_task(std::move(*task)));
  if (!handle) return nullptr;
  PyRef hold = PyRef::steal(make_instance(evaluation_hold_type().get(), EvaluationHold(phase, std::move(owned))));
  if (!hold) return nullptr;
  return expect_object(PyTuple_Pack(3, handle.get(), result.get(), hold.get()));
}

// _typed_evaluate_async(program, inputs, out, token): _typed_evaluate's
// preparation, then the engine call queued on the task runner; the task
// completes with 1.0, or 0.0 when an element had no value.
PyObject* typed_evaluate_async_impl(PyObject*, const BoundArgs& bound) {
  std::optional<TaskRef> task = new_task(bound, 3);
  if (!task) return nullptr;
  std::optional<PreparedTyped> prepared = prepare_typed(bound, false);
  if (!prepared) return nullptr;
  const auto phase = std::make_shared<std::atomic<int>>(kWaiting);
  auto owned = std::make_unique<PreparedTyped>(std::move(*prepared));
  if (owned->size == 0) {
    phase->store(kFinished);
    (*task)->complete(1.0);
  } else {
    // The program and plain copies of the inputs' places only: the runner
    // never touches a Python object.
    run_on_runner(*task, [task = *task, phase, program = owned->program, inputs = owned->inputs,
                          shape = owned->shape, target = owned->target, strides = owned->target_strides] {
      int expected = kWaiting;
      if (!phase->compare_exchange_strong(expected, kRunning)) return;
      bool ok = false;
      {
        const Finish finish{*phase};
        ok = evaluate_typed(*program, inputs, shape, target, strides);
      }
      task->complete(ok ? 1.0 : 0.0);
    });
  }
  PyRef handle = PyRef::steal(wrap_task(std::move(*task)));
  if (!handle) return nullptr;
  PyRef hold = PyRef::steal(make_instance(typed_hold_type().get(), TypedHold(phase, std::move(owned))));
  if (!hold) return nullptr;
  return expect_object(PyTuple_Pack(2, handle.get(), hold.get()));
}

PyObject* recv_async_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  std::optional<TaskRef> task = new_task(bound, 1);
  if (!task) return nullptr;
  std::optional<Result<BufferRef>> now = receive_async(*task, *channel);
  if (!now) return wrap_task(std::move(*task));
  if (!now->ok()) return raise_generic(now->error());
  return wrap_buffer(std::move(*now).value());
}

PyObject* send_async_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  const BufferRef* buffer = unwrap_buffer(bound[1]);
  if (buffer == nullptr) return argument_error(bound, 1);
  std::optional<TaskRef> task = new_task(bound, 2);
  if (!task) return nullptr;
  // The channel itself keeps the send until there is room; the task completes
  // once the channel has the buffer, or fails when the channel is closed.
  (*task)->mark_delivery_queued(*buffer);
  deliver_when_room(DeliveryJob{channel->sending_only(), *task, *buffer});
  return wrap_task(std::move(*task));
}

PyObject* withdraw_impl(PyObject*, const BoundArgs& bound) {
  const TaskRef* task = as_task(bound[0]);
  if (task == nullptr) return argument_error(bound, 0);
  return PyBool_FromLong((*task)->withdraw() ? 1 : 0);
}

PyObject* withdraw_receive_impl(PyObject*, const BoundArgs& bound) {
  const TaskRef* task = as_task(bound[0]);
  if (task == nullptr) return argument_error(bound, 0);
  const TaskRef receive = *task;
  return PyBool_FromLong(without_gil([&] { return withdraw_receive(receive); }) ? 1 : 0);
}

PyObject* give_back_impl(PyObject*, const BoundArgs& bound) {
  const ChannelHandle* channel = unwrap_channel(bound[0]);
  if (channel == nullptr) return argument_error(bound, 0);
  const BufferRef* buffer = unwrap_buffer(bound[1]);
  if (buffer == nullptr) return argument_error(bound, 1);
  channel->give_back(*buffer);
  Py_RETURN_NONE;
}

PyObject* take_settled_impl(PyObject*, const BoundArgs&) {
  std::optional<std::vector<std::uint64_t>> tokens =
      wait_interruptibly([](const Deadline& deadline) { return take_settled(deadline); });
  if (!tokens) return nullptr;
  PyRef list = PyRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(tokens->size()))));
  for (std::size_t i = 0; i < tokens->size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    expect_object(PyLong_FromUnsignedLongLong((*tokens)[i])));
  }
  return list.release();
}

constexpr Param kTasksGoParams[] = {{"spec", Required}, {"token", Required}, {"out", Optional, "None"}};
constexpr Param kTasksEvaluateParams[] = {
    {"kernel", Required}, {"operands", Required}, {"out", Required}, {"token", Required}};
constexpr Param kTasksTypedEvaluateParams[] = {
    {"program", Required}, {"inputs", Required}, {"out", Required}, {"token", Required}};
constexpr Param kRecvParams[] = {{"channel", Required}, {"token", Required}};
constexpr Param kTasksSendParams[] = {{"channel", Required}, {"buf", Required}, {"token", Required}};
constexpr Param kTaskParams[] = {{"task", Required}};
constexpr Param kGiveBackParams[] = {{"channel", Required}, {"buf", Required}};

constexpr Method kTasksFunctions[] = {
    {"_go_async", kTasksGoParams,
     "Queue a MapSpec or ReduceSpec on the task runner and return its TaskHandle at once.\n"
     "`token` is posted to the settle queue when the task settles.",
     go_async_impl},
    {"_evaluate_async", kTasksEvaluateParams,
     "_evaluate_into queued on the task runner: None when the operands cannot be read in place, else\n"
     "(TaskHandle, output array, hold); keep the hold until `token` is posted.",
     evaluate_async_impl},
    {"_typed_evaluate_async", kTasksTypedEvaluateParams,
     "_typed_evaluate queued on the task runner: (TaskHandle, hold); the task completes with 1.0, or 0.0\n"
     "when an element had no value; keep the hold until `token` is posted.",
     typed_evaluate_async_impl},
    {"_recv_async", kRecvParams,
     "The channel's next buffer when there is one now (RuntimeError when closed), else a TaskHandle\n"
     "that completes with it; `token` is posted when that settles.",
     recv_async_impl},
    {"_send_async", kTasksSendParams,
     "A TaskHandle that completes once the delivery worker has sent `buf`; `token` is posted when it settles.",
     send_async_impl},
    {"_withdraw", kTaskParams, "Cancel a task that has not started; False once it has.", withdraw_impl},
    {"_withdraw_receive", kTaskParams, "Cancel a waiting _recv_async; False once it has its outcome.",
     withdraw_receive_impl},
    {"_give_back", kGiveBackParams, "Put a buffer taken from `channel` back in front of it.",
     give_back_impl},
    {"_take_settled", {}, "Wait for settled tasks and return their tokens, in settling order.", take_settled_impl},
};

}  // namespace

const ModulePart kTasksPart{method_defs<kTasksFunctions>, nullptr};

}  // namespace bmx::py
