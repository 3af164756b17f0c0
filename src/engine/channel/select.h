// Select: receive from whichever of several queues is ready first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "channel.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

enum class SelectStatus : std::uint8_t {
  /// `message` (a buffer or the close marker) was taken from case `index`.
  Message,
  /// The deadline ended the wait first (its time passed, or a signal came);
  /// nothing was taken.
  TimedOut,
  /// No case was ready (try_select only).
  NoneReady,
};

/// The outcome of a selection; `index` and `message` are meaningful for
/// Message only.
struct SelectResult {
  SelectStatus status;
  std::size_t index;
  ChannelMessage message;
};

/// Receives one message from one of `cases` (the case index is its position),
/// waiting until a case is ready or `deadline` passes. A case is ready when its
/// queue holds a message or the close marker, when a sender waits on it at
/// capacity 0, or when its close marker was already taken and nothing else
/// is queued. Ready cases are chosen with equal
/// probability. Exactly one message is taken, from the chosen case only.
/// Internal failure when `cases` is empty.
SelectResult select(std::span<const ChannelHandle> cases, const Deadline& deadline);

/// The same without waiting: NoneReady when no case is ready (also when
/// `cases` is empty).
SelectResult try_select(std::span<const ChannelHandle> cases);

}  // namespace bmx
