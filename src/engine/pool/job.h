// JoinJob: the second half of a join, offered to other threads.
//
// It lives in the frame of the join that created it; the join does not return
// before the job's latch is set, so a thief may use it until then.
#pragma once

#include <cstddef>
#include <exception>

#include "function_ref.h"
#include "latch.h"

namespace bmx {

class JoinJob {
 public:
  /// A job running `body`, owned (waited for) by worker `owner` of the pool
  /// with sleep state `sleep`, or by an outside thread (WorkerSleep::kOutside).
  /// Records the creating thread, so that execute() can tell the body whether
  /// it migrated.
  JoinJob(FunctionRef<void(bool migrated)> body, WorkerSleep& sleep, std::size_t owner)
      : body_(body), origin_(thread_token()), latch_(sleep, owner) {}
  JoinJob(const JoinJob&) = delete;
  JoinJob& operator=(const JoinJob&) = delete;

  /// Any thread, once. Runs the body, passing whether this thread differs
  /// from the creating one; keeps an exception instead of letting it escape;
  /// then sets the latch, after which the job must not be touched.
  void execute() noexcept;

  /// The latch set by execute().
  JoinLatch& latch() { return latch_; }

  /// Owner only, once the latch is set: rethrows what the body threw.
  void rethrow_failure() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  /// An address unique to the calling thread while it lives.
  static const void* thread_token();

  FunctionRef<void(bool migrated)> body_;
  const void* origin_;
  /// Written by the executing thread before the latch is set.
  std::exception_ptr error_;
  JoinLatch latch_;
};

}  // namespace bmx
