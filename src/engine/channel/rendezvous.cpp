// The rendezvous flavor: hand-over between waiting senders and receivers.
#include "rendezvous.h"

#include <utility>

#include "internal_failure.h"

namespace bmx {

namespace {

ChannelMessage take_from(Packet& packet) {
  check(packet.message.has_value(), "rendezvous packet taken while empty");
  ChannelMessage message = std::move(*packet.message);
  packet.message.reset();
  return message;
}

}  // namespace

bool Rendezvous::hand_to_receiver_locked(ChannelMessage& message, WakeList& wakes) {
  std::optional<WaitEntry> receiver = receivers_.claim_one();
  if (!receiver) return false;
  const bool is_marker = !message;
  receiver->packet->message = std::move(message);
  if (is_marker) note_marker_taken_locked(wakes);
  wakes.add(std::move(receiver->context));
  return true;
}

SendResult Rendezvous::try_send_locked(ChannelMessage message, WakeList& wakes) {
  if (refuses_sends_locked()) return {SendStatus::Closed, std::move(message)};
  if (receivers_gone_) return {SendStatus::Disconnected, std::move(message)};
  if (hand_to_receiver_locked(message, wakes)) return {SendStatus::Sent, std::nullopt};
  return {SendStatus::Full, std::move(message)};
}

SendResult Rendezvous::send(ChannelMessage message, const Deadline& deadline) {
  constexpr std::uint32_t kOperation = WaitContext::kFirstOperation;
  for (;;) {
    const std::shared_ptr<WaitContext>& context = WaitContext::prepare();
    Packet packet;
    {
      // Hand over, or register the offer, in one critical section, so that a
      // receiver arriving in between cannot miss it.
      WakeList wakes;
      const std::scoped_lock lock(mutex_);
      SendResult attempt = try_send_locked(std::move(message), wakes);
      if (attempt.status != SendStatus::Full) return attempt;
      message = std::move(attempt.message);
      if (has_expired(deadline)) return {SendStatus::TimedOut, std::move(message)};
      packet.message = std::move(message);
      senders_.add(WaitEntry{context, kOperation, &packet});
    }

    const std::uint32_t selection = context->wait_until(deadline);

    // Withdraw. A receiver's claim moved the message out under the lock, so
    // taking the lock here also makes that hand-over visible. Any other claim
    // (a close, the receivers' departure) leaves it in the packet, and the
    // next round reports why.
    {
      const std::scoped_lock lock(mutex_);
      senders_.remove(*context, kOperation);
      if (selection != kOperation) message = take_from(packet);
    }
    if (selection == kOperation) return {SendStatus::Sent, std::nullopt};
    if (selection == WaitContext::kAborted) return {SendStatus::TimedOut, std::move(message)};
  }
}

void Rendezvous::post_marker_locked(WakeList& wakes) {
  ChannelMessage marker;
  if (!hand_to_receiver_locked(marker, wakes)) marker_pending_ = true;
}

RecvResult Rendezvous::try_recv() {
  WakeList wakes;
  const std::scoped_lock lock(mutex_);
  if (std::optional<BufferRef> given_back = take_given_back_locked()) {
    return {RecvStatus::Message, std::move(given_back)};
  }
  if (std::optional<BufferRef> parked = take_parked_locked(wakes)) return {RecvStatus::Message, std::move(parked)};
  if (std::optional<WaitEntry> sender = senders_.claim_one()) {
    ChannelMessage message = take_from(*sender->packet);
    if (!message) note_marker_taken_locked(wakes);
    wakes.add(std::move(sender->context));
    return {RecvStatus::Message, std::move(message)};
  }
  if (marker_pending_) {
    marker_pending_ = false;
    note_marker_taken_locked(wakes);
    return {RecvStatus::Message, std::nullopt};
  }
  if (marker_taken_) return {RecvStatus::Message, std::nullopt};
  return {RecvStatus::Empty, std::nullopt};
}

RecvResult Rendezvous::accept_recv(Packet& packet) { return {RecvStatus::Message, take_from(packet)}; }

std::uint64_t Rendezvous::buffered() {
  const std::scoped_lock lock(mutex_);
  return given_back_.size();
}

void Rendezvous::offer_given_back_locked(WakeList& wakes) {
  std::optional<WaitEntry> receiver = receivers_.claim_one();
  if (!receiver) return;
  receiver->packet->message = take_given_back_locked();
  wakes.add(std::move(receiver->context));
}

}  // namespace bmx
