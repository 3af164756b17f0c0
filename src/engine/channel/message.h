// ChannelMessage and the outcomes of queue operations.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "buffer/buffer.h"

namespace bmx {

/// What a channel queue carries: a buffer, or (empty) the close marker.
using ChannelMessage = std::optional<BufferRef>;

enum class SendStatus : std::uint8_t {
  /// The message is in the queue (or, at capacity 0, a receiver took it).
  Sent,
  /// No room now (try_send only).
  Full,
  /// No room (at capacity 0: no receiver waiting), and every receiver
  /// endpoint is gone, so none will come.
  Disconnected,
  /// The channel is closed: nothing more goes in, and a send that was
  /// waiting for room when it closed is refused too.
  Closed,
  /// The deadline ended the wait first (its time passed, or a signal came);
  /// the message was not sent.
  TimedOut,
  /// No room now: the message waits in the queue for it (send_or_park only).
  Parked,
};

/// The owner of a send parked in a queue, told once how it ended.
class SendClaim {
 public:
  SendClaim() = default;
  SendClaim(const SendClaim&) = delete;
  SendClaim& operator=(const SendClaim&) = delete;
  virtual ~SendClaim() = default;

  /// Takes the parked send for delivery; false once its owner withdrew it.
  /// Called under the queue's lock, so it takes no lock itself.
  virtual bool claim() = 0;
  /// Sent, Closed or Disconnected; called once after a successful claim, with
  /// no queue lock held.
  virtual void finish(SendStatus status) = 0;
};

/// The outcome of a send; `message` hands the message back unless Sent.
struct SendResult {
  SendStatus status;
  ChannelMessage message;
};

enum class RecvStatus : std::uint8_t {
  /// `message` holds what was received (possibly the close marker).
  Message,
  /// Nothing to take now (try forms only).
  Empty,
  /// The deadline ended the wait first (its time passed, or a signal came);
  /// nothing was taken.
  TimedOut,
};

/// The outcome of a receive; `message` is meaningful only for Message.
struct RecvResult {
  RecvStatus status;
  ChannelMessage message;
};

}  // namespace bmx
