// The waiting receive shared by both flavours, flavour choice, and receiver counting.
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

struct Receiver::Side {
  std::shared_ptr<ChannelQueue> queue;
  ~Side() { queue->disconnect_receivers(); }
};

Receiver::Receiver(std::shared_ptr<ChannelQueue> queue) : side_(std::make_shared<Side>(std::move(queue))) {}

ChannelQueue& Receiver::queue() const { return *side_->queue; }

std::optional<QueueEndpoints> create_queue(std::uint64_t capacity) {
  std::shared_ptr<ChannelQueue> queue = ChannelQueue::create(capacity);
  if (!queue) return std::nullopt;
  Sender sender(queue);
  Receiver receiver(std::move(queue));
  return QueueEndpoints{std::move(sender), std::move(receiver)};
}

}  // namespace bmx
