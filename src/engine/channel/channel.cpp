// Channel operations on top of the queue, and the receiving side's token.
#include "channel.h"

#include <utility>

#include "internal_failure.h"

namespace bmx {

struct ChannelHandle::ReceiverToken {
  std::shared_ptr<ChannelQueue> queue;

  explicit ReceiverToken(std::shared_ptr<ChannelQueue> shared) : queue(std::move(shared)) {}
  ReceiverToken(const ReceiverToken&) = delete;
  ReceiverToken& operator=(const ReceiverToken&) = delete;
  ~ReceiverToken() { queue->disconnect_receivers(); }
};

std::optional<ChannelHandle> ChannelHandle::create(std::uint64_t capacity) {
  std::shared_ptr<ChannelQueue> queue = ChannelQueue::create(capacity);
  if (!queue) return std::nullopt;
  auto receivers = std::make_shared<ReceiverToken>(queue);
  return ChannelHandle(std::move(queue), std::move(receivers));
}

ChannelHandle::ChannelHandle(std::shared_ptr<ChannelQueue> queue, std::shared_ptr<const ReceiverToken> receivers)
    : queue_(std::move(queue)), receivers_(std::move(receivers)) {}

std::optional<Result<void>> ChannelHandle::send_buffer(BufferRef buffer, const Deadline& deadline) const {
  const SendResult sent = queue_->send(ChannelMessage(std::move(buffer)), deadline);
  switch (sent.status) {
    case SendStatus::Sent: return std::optional<Result<void>>(std::in_place);
    case SendStatus::TimedOut: return std::nullopt;
    case SendStatus::Closed:
    case SendStatus::Disconnected: return std::optional<Result<void>>(std::in_place, ComputeError::channel_closed());
    case SendStatus::Full:
    case SendStatus::Parked: break;
  }
  fail("a waiting send reported a full queue");
}

std::optional<Result<BufferRef>> ChannelHandle::recv_buffer(const Deadline& deadline) const {
  RecvResult got = queue_->recv(deadline);
  if (got.status != RecvStatus::Message) return std::nullopt;
  if (got.message) return std::optional<Result<BufferRef>>(std::in_place, std::move(*got.message));
  return std::optional<Result<BufferRef>>(std::in_place, ComputeError::channel_closed());
}

}  // namespace bmx
