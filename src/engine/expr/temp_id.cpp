// The argument id counter.
#include "temp_id.h"

#include <atomic>

#include "../no_destructor.h"

namespace bmx {

std::uint64_t next_temp_id() {
  static NoDestructor<std::atomic<std::uint64_t>> counter(std::uint64_t{0});
  return counter->fetch_add(1, std::memory_order_seq_cst);
}

}  // namespace bmx
