// Records: freeing without recursion, and the flat form.
#include "expr_record.h"

#include <cstddef>
#include <unordered_map>
#include <utility>

#include "boundary.h"

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

}  // namespace bmx::py
