// Rendezvous: the channel queue flavor of capacity 0, also known as a
// synchronous channel. It stores no message; a send completes only when a
// receiver takes the message from the sender's hand.
//
// A thread that finds no partner registers with a packet and waits. The
// partner claims its context under the lock and moves the message into or out
// of that packet in the same critical section, so a claim through an entry here
// is the hand-over itself: the claimed thread's operation has already happened.
// A sender whose deadline passes withdraws by claiming its own context; if a
// receiver's claim came first, the send has succeeded instead.
#pragma once

#include <cstdint>

#include "channel_queue.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

class Rendezvous final : public ChannelQueue {
 public:
  SendResult send(ChannelMessage message, const Deadline& deadline) override;

  /// Takes a given-back value, else a parked send's, else a waiting sender's
  /// message, else the pending marker; once the marker has been taken, reports it again to
  /// every receive that finds no sender.
  RecvResult try_recv() override;
  /// Only given-back values wait here; a sender hands its value over.
  std::uint64_t buffered() override;
  /// After a claim through a receiver entry: the message now in its packet.
  RecvResult accept_recv(Packet& packet) override;

 private:
  /// Closed, Disconnected, Sent into a waiting receiver's hands, else Full.
  SendResult try_send_locked(ChannelMessage message, WakeList& wakes) override;
  /// Offers the close marker to a waiting receiver, or else to the first
  /// receive that finds no sender waiting.
  void post_marker_locked(WakeList& wakes) override;
  bool has_message_locked() const override { return senders_.has_claimable() || marker_pending_; }
  /// Hands the given-back value to a waiting receiver, or keeps it for the
  /// next receive.
  void offer_given_back_locked(WakeList& wakes) override;
  /// Gives `message` to a claimed waiting receiver. Requires the lock.
  bool hand_to_receiver_locked(ChannelMessage& message, WakeList& wakes);

  // Invariants (under the queue's lock, mutex_):
  //   The queue stores no message: each one passes from a sender's packet to a
  //   receiver's in one critical section, the claim of the waiting party.
  //   A waiting sender's packet holds its message until a receiver claims it
  //   or it withdraws; a waiting receiver's packet is empty until a sender (or
  //   the marker, or a given-back value) claims it. close() claims every
  //   waiting sender, which takes its message back and is refused.
  //   Given-back values are the only ones the queue holds, and only while no
  //   receiver waits.
  //   marker_pending_ only while no receiver was waiting to take the marker.
};

}  // namespace bmx
