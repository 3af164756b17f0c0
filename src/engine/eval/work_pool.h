// WorkPool: the process-wide fork-join work-stealing pool.
#pragma once

#include <cstddef>
#include <functional>

namespace bmx {

class WorkPool {
 public:
  /// The process-wide pool, created on first use with one worker per logical
  /// processor. After fork() the child gets a fresh pool on its first use.
  static WorkPool& global();

  /// Number of worker threads.
  std::size_t thread_count() const;

  /// Divides [0, n) by recursive halving into pieces of at least `min_piece`
  /// elements (a piece is split only while each half would keep that many) and
  /// runs body(begin, end) once per piece, on the workers and the calling
  /// thread, returning when every piece is done. If pieces throw, every piece
  /// still finishes before the first exception is rethrown here.
  void run_pieces(std::size_t n, std::size_t min_piece,
                  const std::function<void(std::size_t begin, std::size_t end)>& body);

  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;
};

}  // namespace bmx
