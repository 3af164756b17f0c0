// TaskHandle: waiting for, polling, cancelling and printing a task.
#include "py_task.h"

#include <memory>

namespace bmx::py {

namespace {

struct TaskPlaceholder {};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible task handle.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<TaskPlaceholder>)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    .name = "builtins.TaskHandle",
    .basicsize = sizeof(Instance<TaskPlaceholder>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kSlots,
};

}  // namespace

LazyType& task_handle_type() {
  static LazyType type(kSpec);
  return type;
}

}  // namespace bmx::py
