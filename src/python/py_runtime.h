// _RuntimeModule: asarray, go and chan.
#pragma once

#include "py.h"

#include <optional>

#include "channel/channel.h"
#include "py_class.h"
#include "runtime/execute.h"

namespace bmx::py {

LazyType& runtime_module_type();

/// What go() and _go_async() submit: the content of a MapSpec or of a
/// ReduceSpec (exactly one is set), and the channel its result goes to.
struct Submission {
  const MapContent* map = nullptr;
  const ReduceContent* reduce = nullptr;
  std::optional<ChannelHandle> out;
};

/// Reads `spec` and `out` (nullptr or None: no channel). Empty with the error
/// set when `out` is no Channel, or else when `spec` is neither spec:
/// TypeError "<function>() expects a MapSpec or ReduceSpec".
std::optional<Submission> read_submission(PyObject* spec, PyObject* out, const char* function);

}  // namespace bmx::py
