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

#include "message.h"
#include "waiter.h"

namespace bmx {

class Rendezvous {
 public:
  Rendezvous() = default;
  Rendezvous(const Rendezvous&) = delete;
  Rendezvous& operator=(const Rendezvous&) = delete;

  /// Hands the message to a waiting receiver, if any.
  SendResult try_send(ChannelMessage message);
  SendResult send(ChannelMessage message, const Deadline& deadline);

  /// Offers the close marker without waiting: to a waiting receiver, or else
  /// to the first receive that finds no sender waiting. Dropped when every
  /// receiver is gone.
  void post_marker();

  /// Takes a waiting sender's message, else the pending marker; once the marker
  /// has been taken, reports it again to every receive that finds no sender.
  RecvResult try_recv();
  /// Registers a waiting receiver; true when a receive could succeed now.
  bool register_receiver(const WaitEntry& entry);
  void unregister_receiver(const WaitContext& context, std::uint32_t operation);
  /// After a claim through a receiver entry: the message now in its packet.
  RecvResult accept_recv(Packet& packet);

  void disconnect_senders();
  void disconnect_receivers();

 private:
  /// Gives `message` to a claimed waiting receiver. Requires the lock.
  bool hand_to_receiver_locked(ChannelMessage& message, WakeList& wakes);
  /// Records that a receive took the marker and wakes the other receivers.
  void note_marker_taken_locked(WakeList& wakes);

  std::mutex mutex_;
  /// Senders waiting for a receiver, each offering its packet's message. Guarded by mutex_.
  WaiterList senders_;
  /// Receivers waiting for a sender, each with an empty packet. Guarded by mutex_.
  WaiterList receivers_;
  /// The close marker waits for a receiver. Guarded by mutex_.
  bool marker_pending_ = false;
  /// A receive has taken the close marker. Guarded by mutex_.
  bool marker_taken_ = false;
  /// No sender endpoint is left. Guarded by mutex_.
  bool senders_gone_ = false;
  /// No receiver endpoint is left. Guarded by mutex_.
  bool receivers_gone_ = false;
};

}  // namespace bmx
