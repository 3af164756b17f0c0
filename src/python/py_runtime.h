// _RuntimeModule: asarray, go and chan.
#pragma once

#include "py.h"

#include <cstddef>
#include <optional>

#include "arg_binder.h"
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

/// Reads the spec (parameter 0) and the channel in parameter `out_index`
/// (absent or None: no channel). Empty with the error set when that is no
/// Channel, or else when the spec is neither spec: TypeError "<function>()
/// expects a MapSpec or ReduceSpec".
std::optional<Submission> read_submission(const BoundArgs& bound, std::size_t out_index, const char* function);

}  // namespace bmx::py
