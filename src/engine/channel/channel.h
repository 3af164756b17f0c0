// ChannelHandle: the engine side of a Python Channel or RecvCase: a shared
// queue, which carries the channel's `closed` flag, and a token shared by
// every handle that can receive. When the last such handle is gone nobody can
// receive any more, and a send or delivery that would wait fails instead of
// waiting forever. Deliveries hold sending-only copies, which never keep a
// channel receivable.
//
// Close protocol: close() sets `closed` under the queue's lock and only the
// call that set it posts the close marker, behind every message already
// queued. Posting never waits: with no room the marker takes the next slot
// that frees (at capacity 0 it goes to the next receiver that finds no sender
// waiting). Every send, one already waiting for room included, is refused
// with ChannelClosed from then on and keeps its value, so a send either
// delivers its value or reports ChannelClosed. Receivers drain the earlier
// messages, one receive takes the marker and reports ChannelClosed, and from
// then on the queue reports the marker again to every receive that finds
// nothing else, waking those already waiting. A value given back by a
// receiver that could not use it is received ahead of those markers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "buffer/buffer.h"
#include "channel_queue.h"
#include "result.h"
#include "waiter.h"

namespace bmx {

/// One channel's queue and, unless sending only, its receiving side. Copies
/// share both. Every operation may be called from any thread.
class ChannelHandle {
 public:
  /// A new open channel of `capacity` slots (0: rendezvous); empty when the
  /// slot array cannot be reserved (an allocation failure for the caller).
  static std::optional<ChannelHandle> create(std::uint64_t capacity);

  /// A copy that sends and closes like this one but does not count as a
  /// receiver.
  ChannelHandle sending_only() const { return ChannelHandle(queue_, nullptr); }

  /// The queue, for select.
  ChannelQueue& queue() const { return *queue_; }

  /// Sends, waiting while there is no room, or at capacity 0 until a
  /// receiver takes the buffer. ChannelClosed when the channel is closed
  /// (also when it closes during the wait) or nobody can receive any more;
  /// empty when `deadline` passed first and nothing was sent.
  std::optional<Result<void>> send_buffer(BufferRef buffer, const Deadline& deadline) const;

  /// Receives a buffer, waiting while there is none. ChannelClosed for the close
  /// marker (also when it was already taken and nothing else is queued). Empty
  /// when `deadline` ended the wait first; nothing taken.
  std::optional<Result<BufferRef>> recv_buffer(const Deadline& deadline) const;

  /// Closes the channel; never waits. True for the one call that closed it and
  /// posted the marker, false for every later call.
  bool close() const { return queue_->close(); }

  bool is_closed() const { return queue_->is_closed(); }

  /// Puts back a buffer received from this channel that its receiver can no
  /// longer use, ahead of everything queued (see ChannelQueue::give_back).
  void give_back(BufferRef buffer) const { queue_->give_back(std::move(buffer)); }

  /// How many sent values wait in the channel now.
  std::uint64_t buffered() const { return queue_->buffered(); }

 private:
  /// Tells the queue that nobody can receive any more when the last handle
  /// sharing it is gone.
  struct ReceiverToken;

  ChannelHandle(std::shared_ptr<ChannelQueue> queue, std::shared_ptr<const ReceiverToken> receivers);

  std::shared_ptr<ChannelQueue> queue_;
  /// Null in a sending-only copy.
  std::shared_ptr<const ReceiverToken> receivers_;
};

}  // namespace bmx
