// The bounded ring: slot storage, sends, receives and the close marker.
#include "bounded_ring.h"

#include <limits>
#include <memory>
#include <new>

namespace bmx {

std::optional<RingSlots> RingSlots::reserve(std::uint64_t count) {
  if (count > std::numeric_limits<std::size_t>::max() / sizeof(ChannelMessage)) return std::nullopt;
  // Nothrow, so that a capacity the system cannot back is an answer rather than
  // an exception. The pages stay untouched until slots are used.
  void* raw = ::operator new(static_cast<std::size_t>(count) * sizeof(ChannelMessage), std::nothrow);
  if (raw == nullptr) return std::nullopt;
  return RingSlots(static_cast<ChannelMessage*>(raw));
}

void RingSlots::Release::operator()(ChannelMessage* slots) const { ::operator delete(static_cast<void*>(slots)); }

BoundedRing::BoundedRing(std::uint64_t capacity, RingSlots slots) : capacity_(capacity), slots_(std::move(slots)) {}

BoundedRing::~BoundedRing() {
  for (std::uint64_t k = 0; k < len_; ++k) std::destroy_at(slots_.data() + (head_ + k) % capacity_);
}

void BoundedRing::push_locked(ChannelMessage message, WakeList& wakes) {
  if (!message) ++markers_;
  std::construct_at(slots_.data() + (head_ + len_) % capacity_, std::move(message));
  ++len_;
  if (auto receiver = receivers_.claim_one()) wakes.add(std::move(receiver->context));
}

SendResult BoundedRing::try_send_locked(ChannelMessage message, WakeList& wakes) {
  if (refuses_sends_locked()) return {SendStatus::Closed, std::move(message)};
  if (len_ == capacity_) {
    return {receivers_gone_ ? SendStatus::Disconnected : SendStatus::Full, std::move(message)};
  }
  push_locked(std::move(message), wakes);
  return {SendStatus::Sent, std::nullopt};
}

SendResult BoundedRing::send(ChannelMessage message, const Deadline& deadline) {
  constexpr std::uint32_t kOperation = WaitContext::kFirstOperation;
  for (;;) {
    SendResult attempt = try_send(std::move(message));
    if (attempt.status != SendStatus::Full) return attempt;
    message = std::move(attempt.message);
    if (has_expired(deadline)) return {SendStatus::TimedOut, std::move(message)};

    // Register, then park until a receiver frees a slot, the receivers go away,
    // the queue closes or the deadline passes. A claim is only a hint to try
    // again.
    const std::shared_ptr<WaitContext>& context = WaitContext::prepare();
    bool ready = false;
    {
      const std::scoped_lock lock(mutex_);
      senders_.add(WaitEntry{context, kOperation, nullptr});
      ready = len_ < capacity_ || receivers_gone_ || refuses_sends_locked();
    }
    if (ready) context->try_abort();
    const std::uint32_t selection = context->wait_until(deadline);
    {
      const std::scoped_lock lock(mutex_);
      senders_.remove(*context, kOperation);
    }
    if (selection == WaitContext::kAborted && !ready) return {SendStatus::TimedOut, std::move(message)};
  }
}

void BoundedRing::post_marker_locked(WakeList& wakes) {
  if (len_ < capacity_) {
    push_locked(std::nullopt, wakes);
  } else {
    marker_pending_ = true;
  }
}

RecvResult BoundedRing::try_recv() {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  if (std::optional<BufferRef> given_back = take_given_back_locked()) {
    return {RecvStatus::Message, std::move(given_back)};
  }
  if (len_ == 0) {
    if (marker_taken_) return {RecvStatus::Message, std::nullopt};
    return {RecvStatus::Empty, std::nullopt};
  }
  ChannelMessage* oldest = slots_.data() + head_;
  ChannelMessage message = std::move(*oldest);
  std::destroy_at(oldest);
  head_ = (head_ + 1) % capacity_;
  --len_;
  if (!message) {
    --markers_;
    note_marker_taken_locked(wakes);
  }
  if (marker_pending_) {
    marker_pending_ = false;
    push_locked(std::nullopt, wakes);
  } else if (std::optional<BufferRef> parked = take_parked_locked(wakes)) {
    push_locked(std::move(parked), wakes);
  } else if (auto sender = senders_.claim_one()) {
    wakes.add(std::move(sender->context));
  }
  return {RecvStatus::Message, std::move(message)};
}

RecvResult BoundedRing::accept_recv(Packet&) { return try_recv(); }

void BoundedRing::offer_given_back_locked(WakeList& wakes) {
  if (auto receiver = receivers_.claim_one()) wakes.add(std::move(receiver->context));
}

std::uint64_t BoundedRing::buffered() {
  const std::scoped_lock lock(mutex_);
  return len_ - markers_ + given_back_.size();
}

}  // namespace bmx
