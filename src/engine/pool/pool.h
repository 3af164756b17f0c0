// WorkPool: the process-wide fork-join work-stealing pool.
//
// Each worker owns a deque of join jobs; idle workers steal the oldest job of
// a random victim, and park after a short spin. A thread outside the pool
// offers its jobs through a shared injector queue, runs its own first halves,
// takes back whatever was not stolen, and while a stolen half is still
// running it steals like a worker, then parks.
#pragma once

#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "function_ref.h"
#include "split_budget.h"

namespace bmx {

class JoinJob;
class JoinLatch;
class WorkerSleep;
template <class Job>
class Injector;

class WorkPool {
 public:
  /// body(begin, end) of run_pieces.
  using PieceBody = FunctionRef<void(std::size_t begin, std::size_t end)>;

  /// The process-wide pool for the current thread setting: num_threads() - 1
  /// workers (at least one), since the calling thread works too. Created on
  /// first use and never destroyed; a new setting switches later calls to a
  /// pool of the new size, built once per size. After fork() the child gets a
  /// fresh pool on its first use, so call this each time rather than keeping
  /// the reference. Any thread.
  static WorkPool& global();

  /// How many threads one run may keep busy at once, the calling thread
  /// included: the last set_num_threads value, else the number of CPUs this
  /// process may run on (its affinity mask, read once). At least 1; callers
  /// run everything on their own thread when it is 1. Any thread.
  static std::size_t num_threads();

  /// Sets num_threads() to n and returns the previous value. n = 0 is an
  /// internal failure. Runs under way finish with the pool they started on.
  /// Any thread, before or after the first run, and in a forked child, which
  /// inherits its parent's setting.
  static std::size_t set_num_threads(std::size_t n);

  /// A pool of `threads` workers (at least one), started at once.
  explicit WorkPool(std::size_t threads);

  /// Stops and joins the workers. No join or run_pieces may be in progress.
  ~WorkPool();

  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  /// Number of worker threads.
  std::size_t thread_count() const { return thread_count_; }

  /// Runs `a` on the calling thread and `b` on the calling thread or any
  /// worker, returning when both are done. `b` receives whether it ran on a
  /// thread other than the caller. If either throws, both still finish; then
  /// a's exception is rethrown if it threw, else b's. Any thread, including
  /// from inside `a` or `b`.
  void join(FunctionRef<void()> a, FunctionRef<void(bool migrated)> b);

  /// Divides [0, n) by recursive halving and runs body(begin, end) once per
  /// piece, on the workers and the calling thread, returning when every piece
  /// is done. A piece of length L is split at begin + L/2 only while L/2 >=
  /// `min_piece` (0 counts as 1) and its SplitBudget allows, so no piece is
  /// shorter than min_piece unless n is. n = 0 runs nothing. If pieces throw,
  /// every piece still runs, and the exception of the lowest piece that threw
  /// is rethrown here. Any thread, concurrently, and from inside a body; a
  /// body must not fork(), since the child would wait for pieces run by
  /// threads it does not have.
  void run_pieces(std::size_t n, std::size_t min_piece, PieceBody body);

 private:
  struct Worker;
  struct Found;

  /// The worker the calling thread is, of whichever pool; null elsewhere.
  static Worker*& thread_worker();
  /// The worker the calling thread is, if it is one of this pool's.
  Worker* current_worker();
  void worker_main(std::size_t index);
  /// Worker `self` runs other jobs until `latch` is set, or, with a null
  /// latch, until the pool terminates.
  void wait_until(Worker& self, JoinLatch* latch);
  /// An outside thread runs other jobs, spins, then parks, until `latch` is set.
  void wait_outside(JoinLatch& latch);
  Found find_work(std::size_t self);
  void split_and_run(std::size_t begin, std::size_t end, std::size_t min_piece, SplitBudget budget, bool migrated,
                     PieceBody body);

  std::size_t thread_count_;
  std::unique_ptr<WorkerSleep> sleep_;
  std::unique_ptr<Injector<JoinJob>> injector_;
  std::unique_ptr<Worker[]> workers_;
  std::vector<std::thread> threads_;
};

}  // namespace bmx
