// Record: the package's record of how an Expr was built, kept as nodes in C++
// so that no Python object nests as deep as the expression (an interpreter
// frees nested objects recursively, and a deep chain overflows a small
// thread stack), and its flat form for Python. The package rebuilds a record
// from its flat form only by building the expression again.
#pragma once

#include "py.h"

#include <memory>
#include <span>
#include <vector>

#include "py_ref.h"

namespace bmx::py {

class RecordNode;

/// A record, shared by every record built on it as expressions share their
/// nodes, so that n steps build n nodes; null where the record is unknown.
/// Records are only made, read and dropped with the interpreter lock held.
using Record = std::shared_ptr<RecordNode>;

/// One step: a leaf (an argument's ("arg", name), or a number as the caller
/// gave it), or an operation (its name: an operator's symbol, "u-" for
/// negation, or an elementwise function's name) over its operands.
class RecordNode {
 public:
  RecordNode(PyRef item, std::vector<Record> operands) : item_(std::move(item)), operands_(std::move(operands)) {}
  RecordNode(const RecordNode&) = delete;
  RecordNode& operator=(const RecordNode&) = delete;
  ~RecordNode();

  /// The leaf itself, or the operation's name.
  PyObject* item() const { return item_.get(); }
  /// The operands in order; empty for a leaf.
  std::span<const Record> operands() const { return operands_; }

 private:
  PyRef item_;
  /// Emptied only while the node is freed.
  std::vector<Record> operands_;
  /// Link of the work list of nodes being freed; null otherwise.
  Record next_doomed_;
};

/// The flat form of the record at `root`: a tuple of its distinct nodes, each
/// after its operands (depth first, operands left to right), the root last;
/// a leaf as it is, an operation as (name, index, ...) with the indices of
/// its operands' entries.
PyObject* flat_record(const RecordNode& root);

}  // namespace bmx::py
