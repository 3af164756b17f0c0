// The channel queue: one FIFO of ChannelMessages, bounded (capacity N > 0,
// bounded_ring.h) or rendezvous (capacity 0, rendezvous.h), with its
// channel's `closed` flag. ChannelQueue states the contract of both flavours
// once and keeps the state they share; the waiting receive, registration,
// closing, giving back and the receivers' departure are written once on top
// of it.
//
// The protocol's invariant: every value a send reports Sent is received
// exactly once, or stays in the queue; a send that does not report Sent left
// nothing in the queue. Close keeps it so:
//   `closed` changes under the queue lock, and every send checks it under
//   that lock before its value goes in, so nothing is queued after the close
//   marker; a send waiting for room when the queue closes is woken and
//   refused (Closed), its value handed back.
//   A receiver that took a value and can no longer use it (an asynchronous
//   receive cancelled as the value reached it) gives it back: it goes in
//   front of everything queued, ahead of the marker, for any receive to take.
//   An asynchronous send that finds no room parks in the queue instead of
//   waiting on a thread: the receive that makes room moves its value in
//   and tells its owner Sent; close() and the receivers' departure tell every
//   parked send why it failed. So no asynchronous send waits behind another
//   channel's.
//
// Invariants (every flavour):
//   Messages leave a queue in the order they entered it, given-back values
//   first; a bounded queue holds at most N messages in its slots (the close
//   marker included), a rendezvous queue none; given-back values take no slot.
//   Each queue has one lock, guarding all of its state but the reads of
//   `closed` made without it; no other engine lock is ever taken while it is
//   held, nobody parks while holding it, and parked threads are woken only
//   after it is dropped.
//   A waiting thread's entry stays registered with a queue while that thread
//   is inside an operation on it, for the whole wait; its context is claimed
//   at most once per operation.
//   Once a receive has taken the close marker, a receive that finds nothing
//   else to take reports the marker again, so receivers of a closed and
//   drained queue never wait for a second marker.
//   When nobody can receive any more (disconnect_receivers), a send that would
//   have to wait fails at once with Disconnected (one into a free slot of a
//   bounded queue still lands), waking every sender that waits, and closing
//   queues no marker.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "deadline.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

/// What both flavours provide. Any thread may call any operation.
class ChannelQueue {
 public:
  /// A queue of `capacity` slots (0: rendezvous); null when the slot array of
  /// a bounded queue cannot be reserved. Reserving the array costs address
  /// space only; slots take memory as messages fill them.
  static std::shared_ptr<ChannelQueue> create(std::uint64_t capacity);

  ChannelQueue() = default;
  ChannelQueue(const ChannelQueue&) = delete;
  ChannelQueue& operator=(const ChannelQueue&) = delete;
  virtual ~ChannelQueue() = default;

  /// Sends without waiting: Sent, Closed, Full or (no room and nobody can
  /// receive) Disconnected, all but Sent handing the message back.
  SendResult try_send(ChannelMessage message);
  /// Sends, waiting while there is no room (at capacity 0: until a receiver
  /// takes the message) or until `deadline` ends the wait: Sent, Closed (also
  /// when the queue closed while it waited), Disconnected (it would have to
  /// wait and nobody can receive) or TimedOut, all but Sent handing the
  /// message back, unsent.
  virtual SendResult send(ChannelMessage message, const Deadline& deadline) = 0;

  /// Sends without waiting on a thread: Sent, Closed, Disconnected, or
  /// Parked, when the message waits in the queue until a receive makes room
  /// and `owner` is told how it ended (unless it withdraws first).
  SendStatus send_or_park(BufferRef buffer, std::shared_ptr<SendClaim> owner);

  /// Receives without waiting: Message (a buffer or the close marker) or Empty.
  virtual RecvResult try_recv() = 0;
  /// Receives, waiting while there is nothing to take or until `deadline`
  /// ends the wait: Message or TimedOut (nothing taken).
  RecvResult recv(const Deadline& deadline);

  /// Select's steps: register a waiting receive (true: it could succeed now),
  /// withdraw it, and complete it after a claim through its entry.
  bool register_receiver(const WaitEntry& entry);
  void unregister_receiver(const WaitContext& context, std::uint32_t operation);
  virtual RecvResult accept_recv(Packet& packet) = 0;

  /// Sets `closed`, queues the close marker behind every message already
  /// queued and refuses every send waiting for room, never waiting (see the
  /// flavours for where the marker waits when there is no room). True for the
  /// one call that closed the queue.
  bool close();
  bool is_closed() const { return closed_.load(); }

  /// Puts `buffer`, taken from this queue by a receiver that can no longer
  /// use it, in front of everything queued, and wakes a waiting receiver.
  /// Never waits; takes no slot.
  void give_back(BufferRef buffer);

  /// Nobody can receive any more: fails and wakes the waiting senders.
  void disconnect_receivers();

  /// How many sent values wait in the queue now, the close marker not
  /// counted; at capacity 0 only given-back ones, as a sender hands its
  /// value over.
  virtual std::uint64_t buffered() = 0;

 protected:
  /// try_send's attempt, under the lock its caller holds. Requires mutex_.
  virtual SendResult try_send_locked(ChannelMessage message, WakeList& wakes) = 0;
  /// Queues the close marker without waiting. Requires mutex_.
  virtual void post_marker_locked(WakeList& wakes) = 0;
  /// Whether a message, or the marker, is there to be taken, given-back
  /// values aside. Requires mutex_.
  virtual bool has_message_locked() const = 0;
  /// Lets a waiting receiver know that a given-back value is there (at
  /// capacity 0, hands it over). Requires mutex_ and a given-back value.
  virtual void offer_given_back_locked(WakeList& wakes) = 0;
  /// The oldest given-back value, if any, removed. Requires mutex_.
  std::optional<BufferRef> take_given_back_locked();
  /// The value of the oldest parked send its owner still wants, removed; the
  /// owner is told Sent once the lock is dropped. Withdrawn ones are dropped
  /// on the way. Requires mutex_.
  std::optional<BufferRef> take_parked_locked(WakeList& wakes);
  /// Whether a send must be refused: Closed, with nothing queued. Requires mutex_.
  bool refuses_sends_locked() const { return closed_.load(std::memory_order_relaxed); }
  /// Records that a receive took the marker and wakes the other receivers,
  /// who must look again instead of waiting for a second one. Requires mutex_.
  void note_marker_taken_locked(WakeList& wakes);

  // Invariants (under mutex_), besides each flavour's own:
  //   An entry of senders_ belongs to a thread inside send() that found no
  //   room, one of receivers_ to a thread inside a receive that found nothing
  //   to take; each stays until its owner withdraws it.
  //   marker_pending_: close() found no room for the marker, which takes the
  //   first that frees (a slot, or at capacity 0 a receiver).
  //   marker_taken_ and receivers_gone_, once set, stay set.
  //   parked_ holds sends only while a send would have to wait (a bounded
  //   queue is full), and none once the queue is closed or nobody can
  //   receive.
  std::mutex mutex_;
  /// Senders waiting for room. Guarded by mutex_.
  WaiterList senders_;
  /// Receivers waiting for a message. Guarded by mutex_.
  WaiterList receivers_;
  /// The close marker waits for room. Guarded by mutex_.
  bool marker_pending_ = false;
  /// A receive has taken the close marker. Guarded by mutex_.
  bool marker_taken_ = false;
  /// Nobody can receive any more. Guarded by mutex_.
  bool receivers_gone_ = false;
  /// Values given back, the next to take first. Guarded by mutex_.
  std::deque<BufferRef> given_back_;

  /// A send waiting in the queue for room.
  struct ParkedSend {
    BufferRef buffer;
    std::shared_ptr<SendClaim> owner;
  };
  /// Parked sends, oldest first. Guarded by mutex_.
  std::deque<ParkedSend> parked_;


 private:
  /// Tells every parked send its owner still wants that it failed with `why`.
  /// Requires mutex_.
  void refuse_parked_locked(WakeList& wakes, SendStatus why);

  /// Set once, by the first close(), under mutex_; also read without it.
  std::atomic<bool> closed_{false};
};

}  // namespace bmx
