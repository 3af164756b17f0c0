// Workers, join, and the range driver of the pool.
#include "pool.h"

#include <pthread.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "internal_failure.h"
#include "parking.h"
#include "thread_rng.h"
#include "deque.h"
#include "injector.h"
#include "job.h"
#include "latch.h"
#include "sleep.h"

namespace bmx {

struct alignas(64) WorkPool::Worker {
  WorkPool* pool = nullptr;
  std::size_t index = 0;
  /// This worker's jobs; only its own thread pushes and pops.
  JobDeque<JoinJob> deque;
};

/// A job taken by a search, and whether more work was seen where it came from.
struct WorkPool::Found {
  JoinJob* job = nullptr;
  bool more = false;
};

namespace {

/// The pool's own state is broken: nothing can be trusted to unwind.
[[noreturn]] void abort_pool(const char* what) {
  std::fprintf(stderr, "brindlemox work pool: %s; aborting\n", what);
  std::abort();
}

/// How long a thread whose backoff ran out keeps looking before it parks.
/// Longer than the interpreter takes between two calls, so that a run of
/// calls finds the workers awake and its caller does not park between the
/// halves: each park costs a futex wake-up, which on a virtual machine is an
/// exit to the hypervisor, several microseconds on both sides.
constexpr auto kWatchBeforeParking = std::chrono::microseconds(100);

/// Pauses until `seen` holds (true), or until `until` (false). A pause per
/// look: nothing but the flag's line is touched while nothing changes.
template <class Seen>
bool watch(std::chrono::steady_clock::time_point until, const Seen& seen) {
  for (;;) {
    for (int k = 0; k < 16; ++k) {
      if (seen()) return true;
      Backoff::spin_hint();
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

}  // namespace

WorkPool::WorkPool(std::size_t workers)
    : sleep_(std::make_unique<WorkerSleep>(kMaxWorkers)),
      injector_(std::make_unique<Injector<JoinJob>>()),
      workers_(std::make_unique<std::unique_ptr<Worker>[]>(kMaxWorkers)) {
  try {
    resize(workers);
  } catch (...) {
    // Threads started before the failure refer to this pool.
    stop();
    throw;
  }
}

WorkPool::~WorkPool() { stop(); }

void WorkPool::stop() {
  sleep_->set_active(0);
  std::unique_lock lock(exit_mutex_);
  all_exited_.wait(lock, [&] { return running_ == 0; });
}

std::size_t WorkPool::thread_count() const { return sleep_->active(); }

void WorkPool::resize(std::size_t workers) {
  if (workers > kMaxWorkers) fail("a work pool has at most " + std::to_string(kMaxWorkers) + " workers");
  const std::scoped_lock lock(resize_mutex_);
  for (std::size_t i = 0; i < workers; ++i) {
    if (workers_[i] == nullptr) {
      workers_[i] = std::make_unique<Worker>();
      workers_[i]->pool = this;
      workers_[i]->index = i;
    }
  }
  const std::size_t previous = sleep_->active();
  sleep_->set_active(workers);
  // Slots below the previous count all have threads: none of them could
  // retire while the count included it.
  for (std::size_t i = previous; i < workers; ++i) {
    if (sleep_->claim(i)) start_worker(i, previous);
  }
}

void WorkPool::start_worker(std::size_t index, std::size_t previous) {
  {
    // Counted before it starts: it may retire at once.
    const std::scoped_lock lock(exit_mutex_);
    ++running_;
  }
  try {
    std::thread thread(&WorkPool::worker_main, this, index);
    // Named for ps and top, and before resize() returns, for a census.
    pthread_setname_np(thread.native_handle(), kThreadName);
    // Nobody joins a worker: one that retires while the pool lives just
    // ends, and stop() waits for the count of running threads instead.
    thread.detach();
  } catch (const std::system_error& error) {
    roll_back(index, previous);
    throw std::system_error(error.code(), "cannot start a work pool thread");
  } catch (const std::bad_alloc&) {
    // The thread's own bookkeeping found no memory: the same refusal as a
    // stack the system could not map, so callers see one kind of error.
    roll_back(index, previous);
    throw std::system_error(std::make_error_code(std::errc::not_enough_memory), "cannot start a work pool thread");
  } catch (...) {
    roll_back(index, previous);
    throw;
  }
}

void WorkPool::roll_back(std::size_t index, std::size_t previous) {
  thread_finished();
  sleep_->abandon(index);
  // The threads started so far are surplus again and retire.
  sleep_->set_active(previous);
}

void WorkPool::thread_finished() {
  // Notified under the lock: stop() may destroy the pool as soon as it sees
  // no thread running, so the unlock is the finished thread's last touch.
  const std::scoped_lock lock(exit_mutex_);
  if (--running_ == 0) all_exited_.notify_all();
}

WorkPool::Worker*& WorkPool::thread_worker() {
  thread_local Worker* worker = nullptr;
  return worker;
}

WorkPool::Worker* WorkPool::current_worker() {
  Worker* worker = thread_worker();
  return worker != nullptr && worker->pool == this ? worker : nullptr;
}

void WorkPool::worker_main(std::size_t index) {
  try {
    Worker& self = *workers_[index];
    thread_worker() = &self;
    wait_until(self, nullptr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brindlemox work pool: exception escaped a worker: %s; aborting\n", error.what());
    std::abort();
  } catch (...) {
    abort_pool("an unknown exception escaped a worker");
  }
  thread_finished();
}

void WorkPool::wait_until(Worker& self, JoinLatch* latch) {
  // While a worker waits, its own deque is empty: a join pops back its job
  // before returning, and a waited-for job was stolen, which takes every
  // older job of the deque first. So only other queues are searched.
  sleep_->begin_search();
  Backoff backoff;
  auto idle_since = std::chrono::steady_clock::now();
  for (;;) {
    if (latch != nullptr && latch->is_set()) break;
    const std::uint32_t epoch = sleep_->work_epoch();
    if (const Found found = find_work(self.index); found.job != nullptr) {
      sleep_->end_search(found.more);
      found.job->execute();
      sleep_->begin_search();
      backoff = Backoff();
      idle_since = std::chrono::steady_clock::now();
      continue;
    }
    if (!backoff.is_completed()) {
      backoff.snooze();
      continue;
    }
    // New work bumps the epoch; a surplus worker retires at once instead.
    if (self.index < thread_count() && watch(idle_since + kWatchBeforeParking, [&] {
          return sleep_->work_epoch() != epoch || (latch != nullptr && latch->is_set());
        })) {
      continue;
    }
    if (!sleep_->park_worker(self.index, epoch, latch)) return;
    backoff = Backoff();
    idle_since = std::chrono::steady_clock::now();
  }
  sleep_->end_search(false);
}

void WorkPool::wait_outside(JoinLatch& latch) {
  // Helping keeps the caller's processor busy while the thief of its job
  // still holds unclaimed halves, which matters most for short runs.
  Backoff backoff;
  auto idle_since = std::chrono::steady_clock::now();
  while (!latch.is_set()) {
    const std::uint32_t epoch = sleep_->work_epoch();
    if (JoinJob* job = find_work(WorkerSleep::kOutside).job) {
      job->execute();
      backoff = Backoff();
      idle_since = std::chrono::steady_clock::now();
    } else if (!backoff.is_completed()) {
      backoff.snooze();
    } else if (!watch(idle_since + kWatchBeforeParking,
                      [&] { return latch.is_set() || sleep_->work_epoch() != epoch; })) {
      sleep_->park_outside(latch);
      idle_since = std::chrono::steady_clock::now();
    }
  }
}

WorkPool::Found WorkPool::find_work(std::size_t self) {
  // `self` is a worker index, or kOutside for a helping outside thread.
  // Steal first: jobs on deques belong to computations already under way.
  // Surplus workers are no victims: each takes back its own jobs.
  const auto count = static_cast<std::uint32_t>(thread_count());
  const std::uint32_t start = count > 0 ? ThreadRng::current().below(count) : 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint32_t victim = (start + k) % count;
    if (victim == self) continue;
    JobDeque<JoinJob>& deque = workers_[victim]->deque;
    if (JoinJob* job = deque.steal()) return {job, !deque.looks_empty()};
  }
  if (JoinJob* job = injector_->pop_oldest()) return {job, !injector_->looks_empty()};
  return {};
}

void WorkPool::join(FunctionRef<void()> a, FunctionRef<void(bool migrated)> b) {
  Worker* self = current_worker();
  JoinJob job_b(b, *sleep_, self != nullptr ? self->index : WorkerSleep::kOutside);
  bool queued = true;
  if (self != nullptr) {
    queued = self->deque.push(&job_b);
  } else {
    injector_->push(&job_b);
  }
  if (queued) sleep_->notify_new_work();

  // Run a; hopefully b is stolen meanwhile.
  std::exception_ptr error_a;
  try {
    a();
  } catch (...) {
    error_a = std::current_exception();
  }

  // Now take b back unless another thread took it. On a worker, the bottom of
  // the deque is b or nothing: a's own joins popped what they pushed.
  bool taken_back = !queued;
  if (queued && self != nullptr) {
    JoinJob* popped = self->deque.pop();
    if (popped != nullptr && popped != &job_b) abort_pool("a join popped another job than its own");
    taken_back = popped != nullptr;
  } else if (queued) {
    taken_back = injector_->take_back(&job_b);
  }
  if (taken_back) {
    job_b.execute();
  } else if (self != nullptr) {
    wait_until(*self, &job_b.latch());
  } else {
    wait_outside(job_b.latch());
  }

  // Only now, with b finished (it refers to the caller's frame), report.
  if (error_a) std::rethrow_exception(error_a);
  job_b.rethrow_failure();
}

void WorkPool::run_pieces(std::size_t n, std::size_t min_piece, PieceBody body) {
  if (n == 0) return;
  split_and_run(0, n, min_piece == 0 ? 1 : min_piece, SplitBudget(thread_count()), false, body);
}

void WorkPool::split_and_run(std::size_t begin, std::size_t end, std::size_t min_piece, SplitBudget budget,
                             bool migrated, PieceBody body) {
  // Each level halves the piece, so the recursion is at most as deep as the
  // bit width of n.
  const std::size_t half = (end - begin) / 2;
  if (half < min_piece || !budget.try_split(migrated)) {
    body(begin, end);
    return;
  }
  const std::size_t mid = begin + half;
  join([&] { split_and_run(begin, mid, min_piece, budget, false, body); },
       [&](bool stolen) { split_and_run(mid, end, min_piece, budget, stolen, body); });
}

}  // namespace bmx
