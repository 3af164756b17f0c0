// WorkPool: the process-wide fork-join work-stealing pool.
//
// Each worker owns a deque of join jobs; idle workers steal the oldest job of
// a random victim, and park after a short spin. A thread outside the pool
// offers its jobs through a shared injector queue, runs its own first halves,
// takes back whatever was not stolen, and while a stolen half is still
// running it steals like a worker, then parks.
//
// The pool grows and shrinks. Worker slots [0, thread_count()) are active:
// only they are chosen as victims, and only they park when idle. resize()
// raises the count by starting a thread for each slot below it that has none;
// lowering it makes the slots above surplus. A surplus worker finishes the
// job it is running and the joins it is inside (no one steals from it any
// more, so it takes its own halves back), and once it runs out of work
// outside any join it retires: its thread ends. The slot, with its deque,
// stays allocated for the pool's life, since a thief may still be reading
// it; a later growth starts a new thread in it once the old one has retired,
// so no slot ever has two working threads. Worker threads are detached, so
// that a retiring one needs nobody to join it; the pool's destructor waits
// for its count of running threads to reach zero instead. Runs under way
// carry on through a resize on whichever threads take their jobs; results
// never depend on which thread ran a piece.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

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

  /// The most threads one run may use, the caller included.
  static constexpr std::size_t kMaxThreads = 1024;
  /// The most workers a pool has: the caller is the other thread.
  static constexpr std::size_t kMaxWorkers = kMaxThreads - 1;
  /// The name of every worker thread.
  static constexpr const char* kThreadName = "bmx-pool";

  /// The process-wide pool: num_threads() - 1 workers, since the calling
  /// thread works too. Created on first use and never destroyed;
  /// set_num_threads() resizes it. After fork() the child gets a fresh pool
  /// on its first use, so call this each time rather than keeping the
  /// reference. Throws std::system_error when the pool is created and cannot
  /// start its threads. Any thread.
  static WorkPool& global();

  /// How many threads one run may keep busy at once, the calling thread
  /// included: the last set_num_threads value, else the number of CPUs this
  /// process may run on (its affinity mask, read once). At least 1; callers
  /// run everything on their own thread when it is 1. Any thread.
  static std::size_t num_threads();

  /// Sets num_threads() to n, resizes the global pool to n - 1 workers, and
  /// returns the previous value. n = 0 or above kMaxThreads is an internal
  /// failure. When a thread cannot be started, throws std::system_error
  /// ("cannot start a work pool thread: <os error>") and keeps the previous
  /// setting and size. Runs under way are unaffected (see above). Any thread,
  /// before or after the first run, and in a forked child, which inherits its
  /// parent's setting.
  static std::size_t set_num_threads(std::size_t n);

  /// A pool of `workers` workers (up to kMaxWorkers; 0 leaves all work to the
  /// callers), started at once. Throws like resize().
  explicit WorkPool(std::size_t workers);

  /// Retires and joins the workers. No join, run_pieces or resize may be in
  /// progress.
  ~WorkPool();

  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  /// Number of active workers.
  std::size_t thread_count() const;

  /// Makes the pool `workers` workers (up to kMaxWorkers) strong: starts the
  /// missing threads, or lets the surplus retire as they run out of work.
  /// Throws std::system_error ("cannot start a work pool thread: <os
  /// error>"), or std::bad_alloc, when it cannot grow; the size is then the
  /// previous one. Any thread, also while runs are under way.
  void resize(std::size_t workers);

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
  /// latch, until it retires (it is surplus and found no work).
  void wait_until(Worker& self, JoinLatch* latch);
  /// An outside thread runs other jobs, spins, then parks, until `latch` is set.
  void wait_outside(JoinLatch& latch);
  Found find_work(std::size_t self);
  void split_and_run(std::size_t begin, std::size_t end, std::size_t min_piece, SplitBudget budget, bool migrated,
                     PieceBody body);

  /// Starts the thread of claimed slot `index` for a growth from `previous`
  /// workers; on failure undoes the growth and throws.
  void start_worker(std::size_t index, std::size_t previous);
  void roll_back(std::size_t index, std::size_t previous);
  /// Counts a worker thread out, waking stop() at zero.
  void thread_finished();
  /// Retires every worker and waits until their threads have finished.
  void stop();

  std::unique_ptr<WorkerSleep> sleep_;
  std::unique_ptr<Injector<JoinJob>> injector_;
  /// kMaxWorkers slots, each made on first need and kept for the pool's life.
  /// Written under `resize_mutex_` before the active count includes the slot.
  std::unique_ptr<std::unique_ptr<Worker>[]> workers_;
  /// Serialises resizing.
  std::mutex resize_mutex_;
  /// Guards `running_`, the worker threads started and not yet finished.
  std::mutex exit_mutex_;
  std::condition_variable all_exited_;
  std::size_t running_ = 0;
};

}  // namespace bmx
