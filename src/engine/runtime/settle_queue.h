// The settle queue: the tokens of tasks that have become terminal, posted by
// whichever thread settled them and drained in batches by one consumer (the
// package's settler thread), so that completions reach Python through one
// waiting thread however many tasks are pending.
//
// After fork() the child starts with an empty queue of its own: the parent's
// may be locked by a thread the child does not have.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "deadline.h"

namespace bmx {

/// Adds `token` to this process's queue and wakes its consumer. Never waits
/// for anything but the queue's short lock. Any thread.
void post_settled(std::uint64_t token);

/// Takes every token posted so far, in posting order, waiting while there is
/// none; empty when `deadline` ended the wait first.
std::optional<std::vector<std::uint64_t>> take_settled(const Deadline& deadline);

}  // namespace bmx
