// The channel queue facade: one FIFO of ChannelMessages, bounded (capacity
// N > 0, bounded_ring.h) or rendezvous (capacity 0, rendezvous.h), reached
// through shared, counted Sender and Receiver endpoints.
//
// Invariants:
//   Messages leave a queue in the order they entered it; a bounded queue holds
//   at most N messages (the close marker included), a rendezvous queue none.
//   Each queue has one lock, guarding all of its state; no other engine lock
//   is ever taken while it is held, nobody parks while holding it, and
//   parked threads are woken only after it is dropped.
//   A waiting thread's entry stays registered with a queue only while that
//   thread is inside an operation on it; its context is claimed at most once
//   per operation.
//   Once a receive has taken the close marker, a receive that finds nothing
//   else to take reports the marker again, so receivers of a closed and
//   drained queue never wait for a second marker.
//   Disconnection: when the last Sender is gone, receivers drain what is left
//   and then get Disconnected; when the last Receiver is gone, a send that
//   would have to wait fails at once (one into a free slot of a bounded
//   queue still lands). Either wakes every thread waiting on the other side.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "bounded_ring.h"
#include "message.h"
#include "rendezvous.h"
#include "waiter.h"

namespace bmx {

/// The shared queue behind the endpoints; its operations dispatch to the flavor.
/// Any thread may call any operation.
class ChannelQueue {
 public:
  /// A queue of `capacity` slots (0: rendezvous); null when the slot array of
  /// a bounded queue cannot be reserved.
  static std::shared_ptr<ChannelQueue> create(std::uint64_t capacity);

  template <class Flavor, class... Args>
  explicit ChannelQueue(std::in_place_type_t<Flavor> flavor, Args&&... args)
      : flavor_(flavor, std::forward<Args>(args)...) {}

  SendResult try_send(ChannelMessage message);
  SendResult send(ChannelMessage message, const Deadline& deadline);
  /// Queues the close marker without ever waiting (see the flavors for where
  /// it waits when there is no room); dropped when every receiver is gone.
  void post_marker();

  RecvResult try_recv();
  RecvResult recv(const Deadline& deadline);

  /// Select's steps: register a waiting receive (true: it could succeed now),
  /// withdraw it, and complete it after a claim through its entry.
  bool register_receiver(const WaitEntry& entry);
  void unregister_receiver(const WaitContext& context, std::uint32_t operation);
  RecvResult accept_recv(Packet& packet);

  void disconnect_senders();
  void disconnect_receivers();

 private:
  std::variant<BoundedRing, Rendezvous> flavor_;
};

/// A sending endpoint. Copies share one registration with the queue; when the
/// last copy of every Sender of a queue is gone, the queue is disconnected for
/// its receivers. Any thread may use it; a moved-from Sender must not be used.
class Sender {
 public:
  explicit Sender(std::shared_ptr<ChannelQueue> queue);

  /// Sends without waiting: Sent, Full or (no room and no receiver left)
  /// Disconnected, the last two handing the message back.
  SendResult try_send(ChannelMessage message) const;
  /// Sends, waiting while there is no room (at capacity 0: until a receiver
  /// takes the message) or until `deadline`: Sent, Disconnected (it would have
  /// to wait and no receiver is left) or TimedOut, the last two handing the
  /// message back, unsent.
  SendResult send(ChannelMessage message, const Deadline& deadline) const;
  /// Queues the close marker; never waits. See ChannelQueue::post_marker.
  void post_marker() const;

 private:
  struct Side;
  std::shared_ptr<Side> side_;
};

/// A receiving endpoint, counted like Sender: when the last copy of every
/// Receiver is gone, the queue is disconnected for its senders.
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<ChannelQueue> queue);

  /// Receives without waiting: Message (a buffer or the close marker), Empty
  /// or Disconnected.
  RecvResult try_recv() const;
  /// Receives, waiting while there is nothing to take or until `deadline`:
  /// Message, Disconnected or TimedOut (nothing taken).
  RecvResult recv(const Deadline& deadline) const;

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
