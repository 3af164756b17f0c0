// Records: freeing without recursion, and the flat form both ways.
#include "expr_record.h"

#include <cstddef>
#include <unordered_map>
#include <utility>

#include "boundary.h"
#include "convert.h"

namespace bmx::py {

RecordNode::~RecordNode() {
  // The operands only this node keeps alive are emptied before they die, one
  // after another on a list linked through the nodes themselves: freeing
  // needs no memory and never recurses, however deep the record.
  Record doomed;
  const auto take = [&doomed](Record& operand) {
    // Held by this walk alone, no other holder can appear: the node is ours to empty.
    if (operand.use_count() != 1) return;
    operand->next_doomed_ = std::move(doomed);
    doomed = std::move(operand);
  };
  for (Record& operand : operands_) take(operand);
  while (doomed) {
    const Record node = std::exchange(doomed, std::move(doomed->next_doomed_));
    for (Record& operand : node->operands_) take(operand);
    node->operands_.clear();
  }
}

PyObject* flat_record(const RecordNode& root) {
  std::unordered_map<const RecordNode*, Py_ssize_t> index;
  const PyRef entries = PyRef::steal(expect_object(PyList_New(0)));
  // Each node on the walk with the position of its next operand to visit.
  std::vector<std::pair<const RecordNode*, std::size_t>> walk{{&root, 0}};
  while (!walk.empty()) {
    auto& [node, next] = walk.back();
    const std::span<const Record> operands = node->operands();
    if (next < operands.size()) {
      const RecordNode* operand = operands[next++].get();
      // A node on the walk is no operand of its own operands: the record
      // holds no cycle, so only finished nodes are in `index`.
      if (!index.contains(operand)) walk.emplace_back(operand, 0);
      continue;
    }
    PyRef entry = PyRef::borrow(node->item());
    if (!operands.empty()) {
      entry = PyRef::steal(expect_object(PyTuple_New(static_cast<Py_ssize_t>(operands.size() + 1))));
      PyTuple_SET_ITEM(entry.get(), 0, PyRef::borrow(node->item()).release());
      for (std::size_t k = 0; k < operands.size(); ++k) {
        PyObject* position = expect_object(PyLong_FromSsize_t(index.at(operands[k].get())));
        PyTuple_SET_ITEM(entry.get(), static_cast<Py_ssize_t>(k + 1), position);
      }
    }
    index.emplace(node, PyList_GET_SIZE(entries.get()));
    if (PyList_Append(entries.get(), entry.get()) < 0) fail_python_api();
    walk.pop_back();
  }
  return expect_object(PyList_AsTuple(entries.get()));
}

namespace {

// An operation's entry: its name, then one to three indices of entries before
// `position`, appended to `operands`. False for an entry that is no operation.
bool read_operation(PyObject* entry, Py_ssize_t position, const std::vector<Record>& nodes,
                    std::vector<Record>& operands) {
  const Py_ssize_t size = PyTuple_GET_SIZE(entry);
  if (size < 2 || size > 4 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, 0))) return false;
  for (Py_ssize_t k = 1; k < size; ++k) {
    PyObject* item = PyTuple_GET_ITEM(entry, k);
    if (!PyLong_CheckExact(item)) return false;
    const Py_ssize_t at = PyLong_AsSsize_t(item);
    if (at == -1 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      return false;
    }
    if (at < 0 || at >= position) return false;
    operands.push_back(nodes[static_cast<std::size_t>(at)]);
  }
  return true;
}

// A leaf's entry: an argument's ("arg", name), or a number.
bool is_leaf(PyObject* entry) {
  if (!PyTuple_Check(entry)) return to_number(entry).has_value();
  if (PyTuple_GET_SIZE(entry) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(entry, 1))) return false;
  PyObject* kind = PyTuple_GET_ITEM(entry, 0);
  return PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "arg") == 0;
}

}  // namespace

Record record_from_flat(PyObject* flat) {
  if (!PyTuple_Check(flat)) {
    set_error(PyExc_TypeError, "record must be a tuple");
    return {};
  }
  std::vector<Record> nodes;
  for (Py_ssize_t position = 0; position < PyTuple_GET_SIZE(flat); ++position) {
    PyObject* entry = PyTuple_GET_ITEM(flat, position);
    std::vector<Record> operands;
    if (PyTuple_Check(entry) && read_operation(entry, position, nodes, operands)) {
      nodes.push_back(std::make_shared<RecordNode>(PyRef::borrow(PyTuple_GET_ITEM(entry, 0)), std::move(operands)));
      continue;
    }
    if (!is_leaf(entry)) {
      set_error(PyExc_ValueError, "an expression's record does not hold together");
      return {};
    }
    nodes.push_back(std::make_shared<RecordNode>(PyRef::borrow(entry), std::vector<Record>{}));
  }
  if (nodes.empty()) {
    set_error(PyExc_ValueError, "an expression's record does not hold together");
    return {};
  }
  return nodes.back();
}

}  // namespace bmx::py
