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
#include <mutex>

#include "channel_queue.h"
#include "message.h"
#include "waiter.h"

namespace bmx {

class Rendezvous final : public ChannelQueue {
 public:
  /// Hands the message to a waiting receiver, if any.
  SendResult try_send(ChannelMessage message) override;
  SendResult send(ChannelMessage message, const Deadline& deadline) override;

  /// Offers the close marker without waiting: to a waiting receiver, or else
  /// to the first receive that finds no sender waiting. Dropped when every
  /// receiver is gone.
  void post_marker() override;

  /// Takes a waiting sender's message, else the pending marker; once the marker
  /// has been taken, reports it again to every receive that finds no sender.
  RecvResult try_recv() override;
  /// Registers a waiting receiver; true when a receive could succeed now.
  bool register_receiver(const WaitEntry& entry) override;
  void unregister_receiver(const WaitContext& context, std::uint32_t operation) override;
  /// After a claim through a receiver entry: the message now in its packet.
  RecvResult accept_recv(Packet& packet) override;

  void disconnect_receivers() override;

 private:
  /// Gives `message` to a claimed waiting receiver. Requires the lock.
  bool hand_to_receiver_locked(ChannelMessage& message, WakeList& wakes);
  /// Records that a receive took the marker and wakes the other receivers.
  void note_marker_taken_locked(WakeList& wakes);

  // Invariants (under mutex_):
  //   The queue stores no message: each one passes from a sender's packet to a
  //   receiver's in one critical section, the claim of the waiting party.
  //   An entry of senders_ belongs to a thread inside send() whose packet
  //   holds its message until a receiver claims it or it withdraws; one of
  //   receivers_ to a thread inside a receive whose packet is empty until a
  //   sender (or the marker) claims it. A sender registered before close()
  //   is therefore taken before the marker.
  //   marker_pending_ only while no receiver was waiting to take the marker.
  //   marker_taken_ and receivers_gone_, once set, stay set.
  std::mutex mutex_;
  /// Senders waiting for a receiver, each offering its packet's message. Guarded by mutex_.
  WaiterList senders_;
  /// Receivers waiting for a sender, each with an empty packet. Guarded by mutex_.
  WaiterList receivers_;
  /// The close marker waits for a receiver. Guarded by mutex_.
  bool marker_pending_ = false;
  /// A receive has taken the close marker. Guarded by mutex_.
  bool marker_taken_ = false;
  /// No receiver endpoint is left. Guarded by mutex_.
  bool receivers_gone_ = false;
};

}  // namespace bmx
