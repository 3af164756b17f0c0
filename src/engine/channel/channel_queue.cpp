// What both flavours share: flavour choice, the waiting receive, receiver
// registration, closing, giving back and the receivers' departure.
#include "channel_queue.h"

#include <utility>

#include "bounded_ring.h"
#include "rendezvous.h"

namespace bmx {

std::shared_ptr<ChannelQueue> ChannelQueue::create(std::uint64_t capacity) {
  if (capacity == 0) return std::make_shared<Rendezvous>();
  std::optional<RingSlots> slots = RingSlots::reserve(capacity);
  if (!slots) return nullptr;
  return std::make_shared<BoundedRing>(capacity, std::move(*slots));
}

RecvResult ChannelQueue::recv(const Deadline& deadline) {
  constexpr std::uint32_t kOperation = WaitContext::kFirstOperation;
  for (;;) {
    RecvResult attempt = try_recv();
    if (attempt.status != RecvStatus::Empty) return attempt;
    if (has_expired(deadline)) return {RecvStatus::TimedOut, std::nullopt};

    // Register, re-checking under the queue lock so that a message arriving
    // after the attempt cannot be missed; then park.
    const std::shared_ptr<WaitContext>& context = WaitContext::prepare();
    Packet packet;
    const bool ready = register_receiver(WaitEntry{context, kOperation, &packet});
    if (ready) context->try_abort();
    const std::uint32_t selection = context->wait_until(deadline);
    unregister_receiver(*context, kOperation);

    if (selection == kOperation) {
      RecvResult accepted = accept_recv(packet);
      if (accepted.status != RecvStatus::Empty) return accepted;
    } else if (selection == WaitContext::kAborted && !ready) {
      return {RecvStatus::TimedOut, std::nullopt};
    }
  }
}

SendResult ChannelQueue::try_send(ChannelMessage message) {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  return try_send_locked(std::move(message), wakes);
}

SendStatus ChannelQueue::send_or_park(BufferRef buffer, std::shared_ptr<SendClaim> owner) {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  SendResult attempt = try_send_locked(std::move(buffer), wakes);
  // Parked under the same lock that found no room, so the receive that
  // makes room next finds it.
  if (attempt.status == SendStatus::Full) {
    parked_.push_back(ParkedSend{std::move(*attempt.message), std::move(owner)});
    return SendStatus::Parked;
  }
  return attempt.status;
}

bool ChannelQueue::register_receiver(const WaitEntry& entry) {
  const std::scoped_lock lock(mutex_);
  receivers_.add(entry);
  return marker_taken_ || !given_back_.empty() || !parked_.empty() || has_message_locked();
}

void ChannelQueue::unregister_receiver(const WaitContext& context, std::uint32_t operation) {
  const std::scoped_lock lock(mutex_);
  receivers_.remove(context, operation);
}

bool ChannelQueue::close() {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  bool expected = false;
  if (!closed_.compare_exchange_strong(expected, true)) return false;
  if (!receivers_gone_) post_marker_locked(wakes);
  // Waiting senders look again, find the queue closed and take their values
  // back; none of them lands behind the marker.
  senders_.claim_all(wakes);
  refuse_parked_locked(wakes, SendStatus::Closed);
  return true;
}

void ChannelQueue::give_back(BufferRef buffer) {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  given_back_.push_front(std::move(buffer));
  offer_given_back_locked(wakes);
}

std::optional<BufferRef> ChannelQueue::take_parked_locked(WakeList& wakes) {
  while (!parked_.empty()) {
    ParkedSend parked = std::move(parked_.front());
    parked_.pop_front();
    if (!parked.owner->claim()) continue;
    wakes.finish(std::move(parked.owner), SendStatus::Sent);
    return std::move(parked.buffer);
  }
  return std::nullopt;
}

void ChannelQueue::refuse_parked_locked(WakeList& wakes, SendStatus why) {
  for (ParkedSend& parked : parked_) {
    if (parked.owner->claim()) wakes.finish(std::move(parked.owner), why);
  }
  parked_.clear();
}

std::optional<BufferRef> ChannelQueue::take_given_back_locked() {
  if (given_back_.empty()) return std::nullopt;
  BufferRef buffer = std::move(given_back_.front());
  given_back_.pop_front();
  return buffer;
}

void ChannelQueue::disconnect_receivers() {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  receivers_gone_ = true;
  senders_.claim_all(wakes);
  refuse_parked_locked(wakes, SendStatus::Disconnected);
}

void ChannelQueue::note_marker_taken_locked(WakeList& wakes) {
  marker_taken_ = true;
  receivers_.claim_all(wakes);
}

}  // namespace bmx
