// BoundedRing: the channel queue flavor of capacity N > 0, a ring of N slots
// under one lock, with the threads waiting on either side.
//
// The slot array is reserved at creation but its slots are constructed only
// when a message lands in them, so a large capacity costs address space, not
// memory, until it is used; a capacity whose array cannot be reserved fails at
// creation instead.
//
// With every receiver gone, a send still fills a free slot (nobody will take
// the message, but a sender has no way to tell and need not wait); only a send
// that would wait fails at once.
//
// Waking: a message that lands notifies one waiting receiver, a freed slot one
// waiting sender. A notified thread takes nothing by itself; it tries again,
// and may find the message or slot already gone to a thread that did not wait.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "channel_queue.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

/// Reserved, unconstructed storage for the slots of a ring.
class RingSlots {
 public:
  /// Storage for `count` messages; empty when it cannot be reserved.
  static std::optional<RingSlots> reserve(std::uint64_t count);

  ChannelMessage* data() const { return data_.get(); }

 private:
  struct Release {
    void operator()(ChannelMessage* slots) const;
  };
  explicit RingSlots(ChannelMessage* slots) : data_(slots) {}

  std::unique_ptr<ChannelMessage, Release> data_;
};

class BoundedRing final : public ChannelQueue {
 public:
  /// A ring of `capacity` (> 0) slots over `slots`, reserved for that many.
  BoundedRing(std::uint64_t capacity, RingSlots slots);
  ~BoundedRing() override;

  SendResult send(ChannelMessage message, const Deadline& deadline) override;

  /// Takes a given-back value, else the oldest message; once the close marker
  /// has been taken and the ring is empty, reports the marker again to every
  /// receive.
  RecvResult try_recv() override;
  /// A receive after a claim through a receiver entry: a plain attempt.
  RecvResult accept_recv(Packet& packet) override;

  std::uint64_t buffered() override;

 private:
  /// Closed, Sent into a free slot, else Full or (nobody can receive)
  /// Disconnected.
  SendResult try_send_locked(ChannelMessage message, WakeList& wakes) override;
  /// Queues the close marker at the tail if a slot is free, else it takes the
  /// first slot that frees, ahead of any waiting sender.
  void post_marker_locked(WakeList& wakes) override;
  bool has_message_locked() const override { return len_ > 0; }
  /// Notifies one waiting receiver, which takes the value by trying again.
  void offer_given_back_locked(WakeList& wakes) override;
  /// Pushes into a free slot and notifies one receiver. Requires len_ < capacity_.
  void push_locked(ChannelMessage message, WakeList& wakes);

  // Invariants (under the queue's lock, mutex_):
  //   len_ <= capacity_; the slots (head_ + k) % capacity_ for k < len_ hold
  //   constructed messages, oldest first, and no other slot does.
  //   Every message that lands claims one waiting receiver; every slot that
  //   frees goes to the pending marker, else to the oldest parked send, else
  //   claims one waiting sender.
  //   marker_pending_ implies len_ == capacity_.
  /// Number of slots; fixed.
  const std::uint64_t capacity_;
  /// Storage for capacity_ messages; slot (head_ + k) % capacity_ holds a
  /// constructed message for k < len_ and is raw memory otherwise. Guarded by mutex_.
  const RingSlots slots_;
  /// Index of the oldest message. Guarded by mutex_.
  std::uint64_t head_ = 0;
  /// Number of queued messages. Guarded by mutex_.
  std::uint64_t len_ = 0;
  /// How many of them are the close marker (0 or 1). Guarded by mutex_.
  std::uint64_t markers_ = 0;
};

}  // namespace bmx
