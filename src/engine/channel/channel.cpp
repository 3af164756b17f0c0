// Channel operations on top of the queue and the `closed` flag.
#include "channel.h"

#include <utility>

#include "internal_failure.h"

namespace bmx {

std::optional<ChannelHandle> ChannelHandle::create(std::uint64_t capacity) {
  std::optional<QueueEndpoints> endpoints = create_queue(capacity);
  if (!endpoints) return std::nullopt;
  return ChannelHandle(std::move(endpoints->sender), std::move(endpoints->receiver),
                       std::make_shared<std::atomic<bool>>(false));
}

ChannelHandle::ChannelHandle(Sender sender, Receiver receiver, std::shared_ptr<std::atomic<bool>> closed)
    : sender_(std::move(sender)), receiver_(std::move(receiver)), closed_(std::move(closed)) {}

std::optional<Result<void>> ChannelHandle::send_buffer(BufferRef buffer, const Deadline& deadline) const {
  if (is_closed()) return std::optional<Result<void>>(std::in_place, ComputeError::channel_closed());
  return continue_send(std::move(buffer), deadline);
}

std::optional<Result<void>> ChannelHandle::continue_send(BufferRef buffer, const Deadline& deadline) const {
  const SendResult sent = sender_.send(ChannelMessage(std::move(buffer)), deadline);
  switch (sent.status) {
    case SendStatus::Sent: return std::optional<Result<void>>(std::in_place);
    case SendStatus::TimedOut: return std::nullopt;
    case SendStatus::Disconnected: return std::optional<Result<void>>(std::in_place, ComputeError::channel_closed());
    case SendStatus::Full: break;
  }
  fail("a waiting send reported a full queue");
}

std::optional<Result<BufferRef>> ChannelHandle::recv_buffer(const Deadline& deadline) const {
  RecvResult got = receiver_.recv(deadline);
  if (got.status != RecvStatus::Message) return std::nullopt;
  if (got.message) return std::optional<Result<BufferRef>>(std::in_place, std::move(*got.message));
  return std::optional<Result<BufferRef>>(std::in_place, ComputeError::channel_closed());
}

bool ChannelHandle::close() const {
  bool expected = false;
  if (!closed_->compare_exchange_strong(expected, true)) return false;
  sender_.post_marker();
  return true;
}

bool ChannelHandle::is_closed() const { return closed_->load(); }

}  // namespace bmx
