// Setting a join latch and waking its owner.
#include "latch.h"

#include "sleep.h"

namespace bmx {

void JoinLatch::set() {
  WorkerSleep& sleep = *sleep_;
  const std::size_t owner = owner_;
  if (state_.exchange(kSet, std::memory_order_seq_cst) == kSleeping) sleep.wake_latch_owner(owner);
}

}  // namespace bmx
