// The queue facade: flavor dispatch, the waiting receive, and endpoint counting.
#include "channel_queue.h"

#include <utility>

namespace bmx {

std::shared_ptr<ChannelQueue> ChannelQueue::create(std::uint64_t capacity) {
  if (capacity == 0) return std::make_shared<ChannelQueue>(std::in_place_type<Rendezvous>);
  std::optional<RingSlots> slots = RingSlots::reserve(capacity);
  if (!slots) return nullptr;
  return std::make_shared<ChannelQueue>(std::in_place_type<BoundedRing>, capacity, std::move(*slots));
}

SendResult ChannelQueue::try_send(ChannelMessage message) {
  return std::visit([&](auto& flavor) { return flavor.try_send(std::move(message)); }, flavor_);
}

SendResult ChannelQueue::send(ChannelMessage message, const Deadline& deadline) {
  return std::visit([&](auto& flavor) { return flavor.send(std::move(message), deadline); }, flavor_);
}

void ChannelQueue::post_marker() {
  std::visit([](auto& flavor) { flavor.post_marker(); }, flavor_);
}

RecvResult ChannelQueue::try_recv() {
  return std::visit([](auto& flavor) { return flavor.try_recv(); }, flavor_);
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

bool ChannelQueue::register_receiver(const WaitEntry& entry) {
  return std::visit([&](auto& flavor) { return flavor.register_receiver(entry); }, flavor_);
}

void ChannelQueue::unregister_receiver(const WaitContext& context, std::uint32_t operation) {
  std::visit([&](auto& flavor) { flavor.unregister_receiver(context, operation); }, flavor_);
}

RecvResult ChannelQueue::accept_recv(Packet& packet) {
  return std::visit([&](auto& flavor) { return flavor.accept_recv(packet); }, flavor_);
}

void ChannelQueue::disconnect_senders() {
  std::visit([](auto& flavor) { flavor.disconnect_senders(); }, flavor_);
}

void ChannelQueue::disconnect_receivers() {
  std::visit([](auto& flavor) { flavor.disconnect_receivers(); }, flavor_);
}

struct Sender::Side {
  std::shared_ptr<ChannelQueue> queue;
  ~Side() { queue->disconnect_senders(); }
};

Sender::Sender(std::shared_ptr<ChannelQueue> queue) : side_(std::make_shared<Side>(std::move(queue))) {}

SendResult Sender::try_send(ChannelMessage message) const { return side_->queue->try_send(std::move(message)); }

SendResult Sender::send(ChannelMessage message, const Deadline& deadline) const {
  return side_->queue->send(std::move(message), deadline);
}

void Sender::post_marker() const { side_->queue->post_marker(); }

struct Receiver::Side {
  std::shared_ptr<ChannelQueue> queue;
  ~Side() { queue->disconnect_receivers(); }
};

Receiver::Receiver(std::shared_ptr<ChannelQueue> queue) : side_(std::make_shared<Side>(std::move(queue))) {}

RecvResult Receiver::try_recv() const { return side_->queue->try_recv(); }

RecvResult Receiver::recv(const Deadline& deadline) const { return side_->queue->recv(deadline); }

ChannelQueue& Receiver::queue() const { return *side_->queue; }

std::optional<QueueEndpoints> create_queue(std::uint64_t capacity) {
  std::shared_ptr<ChannelQueue> queue = ChannelQueue::create(capacity);
  if (!queue) return std::nullopt;
  Sender sender(queue);
  Receiver receiver(std::move(queue));
  return QueueEndpoints{std::move(sender), std::move(receiver)};
}

}  // namespace bmx
