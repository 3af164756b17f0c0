// The channel queue: one FIFO of ChannelMessages, bounded (capacity N > 0,
// bounded_ring.h) or rendezvous (capacity 0, rendezvous.h), shared by the
// Senders and Receivers that reach it. ChannelQueue states the contract of
// both flavours once; the waiting receive is written once on top of it.
//
// Invariants (every flavour):
//   Messages leave a queue in the order they entered it; a bounded queue holds
//   at most N messages (the close marker included), a rendezvous queue none.
//   Each queue has one lock, guarding all of its state; no other engine lock
//   is ever taken while it is held, nobody parks while holding it, and
//   parked threads are woken only after it is dropped.
//   A waiting thread's entry stays registered with a queue while that thread
//   is inside an operation on it, for the whole wait; its context is claimed
//   at most once per operation.
//   Once a receive has taken the close marker, a receive that finds nothing
//   else to take reports the marker again, so receivers of a closed and
//   drained queue never wait for a second marker.
//   Receivers are counted: when the last Receiver is gone nobody can receive
//   any more, and a send that would have to wait fails at once with
//   Disconnected (one into a free slot of a bounded queue still lands),
//   waking every sender that waits. Senders are not counted: every holder of
//   a Receiver also holds a Sender, so a queue never outlives its senders
//   while it can still be received from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "deadline.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

/// What both flavours provide. Any thread may call any operation.
class ChannelQueue {
 public:
  /// A queue of `capacity` slots (0: rendezvous); null when the slot array of
  /// a bounded queue cannot be reserved.
  static std::shared_ptr<ChannelQueue> create(std::uint64_t capacity);

  ChannelQueue() = default;
  ChannelQueue(const ChannelQueue&) = delete;
  ChannelQueue& operator=(const ChannelQueue&) = delete;
  virtual ~ChannelQueue() = default;

  /// Sends without waiting: Sent, Full or (no room and no receiver left)
  /// Disconnected, the last two handing the message back.
  virtual SendResult try_send(ChannelMessage message) = 0;
  /// Sends, waiting while there is no room (at capacity 0: until a receiver
  /// takes the message) or until `deadline` ends the wait: Sent, Disconnected
  /// (it would have to wait and no receiver is left) or TimedOut, the last two
  /// handing the message back, unsent.
  virtual SendResult send(ChannelMessage message, const Deadline& deadline) = 0;
  /// Queues the close marker without ever waiting (see the flavours for where
  /// it waits when there is no room); dropped when every receiver is gone.
  virtual void post_marker() = 0;

  /// Receives without waiting: Message (a buffer or the close marker) or Empty.
  virtual RecvResult try_recv() = 0;
  /// Receives, waiting while there is nothing to take or until `deadline`
  /// ends the wait: Message or TimedOut (nothing taken).
  RecvResult recv(const Deadline& deadline);

  /// Select's steps: register a waiting receive (true: it could succeed now),
  /// withdraw it, and complete it after a claim through its entry.
  virtual bool register_receiver(const WaitEntry& entry) = 0;
  virtual void unregister_receiver(const WaitContext& context, std::uint32_t operation) = 0;
  virtual RecvResult accept_recv(Packet& packet) = 0;

  /// The last Receiver is gone: fails and wakes the waiting senders.
  virtual void disconnect_receivers() = 0;
};

/// A sending endpoint: the queue, shared. Any thread may use it; a moved-from
/// Sender must not be used.
class Sender {
 public:
  explicit Sender(std::shared_ptr<ChannelQueue> queue) : queue_(std::move(queue)) {}

  SendResult try_send(ChannelMessage message) const { return queue_->try_send(std::move(message)); }
  SendResult send(ChannelMessage message, const Deadline& deadline) const {
    return queue_->send(std::move(message), deadline);
  }
  /// Queues the close marker; never waits. See ChannelQueue::post_marker.
  void post_marker() const { queue_->post_marker(); }

 private:
  std::shared_ptr<ChannelQueue> queue_;
};

/// A receiving endpoint. Copies share one registration with the queue; when
/// the last copy of every Receiver of a queue is gone, the queue is
/// disconnected for its senders.
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<ChannelQueue> queue);

  RecvResult try_recv() const { return queue().try_recv(); }
  RecvResult recv(const Deadline& deadline) const { return queue().recv(deadline); }

  /// The queue, for select.
  ChannelQueue& queue() const;

 private:
  struct Side;
  std::shared_ptr<Side> side_;
};

/// Both endpoints of a new queue.
struct QueueEndpoints {
  Sender sender;
  Receiver receiver;
};

/// A new queue of `capacity` slots (0: rendezvous) with its two endpoints; empty
/// when `capacity` is too large for the slot array to be reserved (the caller
/// reports it as an allocation failure). Reserving the array costs address
/// space only; slots take memory as messages fill them.
std::optional<QueueEndpoints> create_queue(std::uint64_t capacity);

}  // namespace bmx
