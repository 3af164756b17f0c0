// Channel, RecvCase and py_select.
#include "py_channel.h"

namespace bmx::py {

namespace {

struct ChannelPlaceholder {};

PyType_Slot kChannelSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python-visible channel handle.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChannelPlaceholder>)},
    {0, nullptr},
};

PyType_Spec kChannelSpec = {
    .name = "builtins.Channel",
    .basicsize = sizeof(Instance<ChannelPlaceholder>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kChannelSlots,
};

PyType_Slot kRecvCaseSlots[] = {
    {Py_tp_doc, const_cast<char*>("RecvCase(channel)\n--\n\nPython-visible `RecvCase` for select.")},
    {Py_tp_new, as_slot(refuse_construction)},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChannelPlaceholder>)},
    {0, nullptr},
};

PyType_Spec kRecvCaseSpec = {
    .name = "builtins.RecvCase",
    .basicsize = sizeof(Instance<ChannelPlaceholder>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kRecvCaseSlots,
};

PyObject* py_select(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "py_select");
  return nullptr;
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

PyMethodDef& py_select_def() {
  static PyMethodDef def = {"py_select", as_method(py_select), METH_FASTCALL | METH_KEYWORDS,
                            "py_select(*cases, default=False)\n--\n\nPython-visible select function."};
  return def;
}

}  // namespace bmx::py
