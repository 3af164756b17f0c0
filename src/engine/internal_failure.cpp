// fail(): the single throw site of InternalFailure.
#include "internal_failure.h"

namespace bmx {

void fail(std::string message, std::source_location where) { throw InternalFailure(std::move(message), where); }

}  // namespace bmx
