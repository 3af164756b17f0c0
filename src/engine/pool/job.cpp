// Running a join's second half on whichever thread took it.
#include "job.h"

namespace bmx {

void JoinJob::execute() noexcept {
  try {
    body_(thread_token() != origin_);
  } catch (...) {
    error_ = std::current_exception();
  }
  latch_.set();
}

const void* JoinJob::thread_token() {
  thread_local const char token = 0;
  return &token;
}

}  // namespace bmx
