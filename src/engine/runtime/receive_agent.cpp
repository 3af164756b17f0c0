// The agent's table of waiting receives, its loop and its one-time start.
#include "receive_agent.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "channel/select.h"
#include "internal_failure.h"
#include "service_thread.h"

namespace bmx {

namespace {

/// What waits on one channel: the receives in arrival order.
struct Waiting {
  ChannelHandle channel;
  std::deque<TaskRef> receives;
};

class ReceiveAgent {
 public:
  ReceiveAgent() : wake_(make_wake_channel()), nudge_(Buffer::from_f64_vec(F64Vec{})) {}

  std::optional<Result<BufferRef>> receive(const TaskRef& task, const ChannelHandle& channel) {
    {
      const std::scoped_lock lock(mutex_);
      Waiting& waiting = find_or_add(channel);
      // Waiting receives came before this one.
      if (waiting.receives.empty()) {
        std::optional<Result<BufferRef>> now = channel.recv_buffer(Deadline::expired());
        if (now) {
          drop_if_idle(waiting);
          return now;
        }
      }
      waiting.receives.push_back(task);
    }
    nudge();
    return std::nullopt;
  }

  bool withdraw(const TaskRef& task) {
    if (!task->withdraw()) return false;
    // The round under way may have taken a message for this receive; once
    // it ends, that message went to another receive or back into its
    // channel, so the caller finds it wherever it looks next.
    std::unique_lock lock(mutex_);
    const std::uint64_t under_way = rounds_ + 1;
    nudge();
    round_ended_.wait(lock, [&] { return rounds_ >= under_way; });
    return true;
  }

  void loop() {
    std::vector<ChannelHandle> cases;
    for (;;) {
      cases.assign(1, wake_);
      {
        const std::scoped_lock lock(mutex_);
        std::erase_if(waiting_, [](Waiting& waiting) {
          std::erase_if(waiting.receives, [](const TaskRef& task) { return task->is_done(); });
          return waiting.receives.empty();
        });
        for (const Waiting& waiting : waiting_) {
          if (!waiting.receives.empty()) cases.push_back(waiting.channel);
        }
      }
      SelectResult chosen = select(cases, std::nullopt);
      {
        const std::scoped_lock lock(mutex_);
        if (chosen.status == SelectStatus::Message && chosen.index != 0) {
          hand(find_or_add(cases[chosen.index]), std::move(chosen.message));
        }
        ++rounds_;
      }
      round_ended_.notify_all();
    }
  }

 private:
  static ChannelHandle make_wake_channel() {
    std::optional<ChannelHandle> channel = ChannelHandle::create(1);
    check(channel.has_value(), "no room for the receive agent's wake-up channel");
    return std::move(*channel);
  }

  /// Ends the agent's current select so that it looks at the table again. A
  /// full wake-up channel already does that.
  void nudge() { (void)wake_.send_buffer(nudge_, Deadline::expired()); }

  /// Under mutex_.
  Waiting& find_or_add(const ChannelHandle& channel) {
    const auto found = std::ranges::find_if(
        waiting_, [&](const Waiting& waiting) { return &waiting.channel.queue() == &channel.queue(); });
    if (found != waiting_.end()) return *found;
    return waiting_.emplace_back(Waiting{channel, {}});
  }

  /// Under mutex_: forgets a channel with nothing waiting on it (the loop
  /// does so too; this keeps the table short between its rounds).
  void drop_if_idle(const Waiting& idle) {
    if (!idle.receives.empty()) return;
    std::erase_if(waiting_, [&](const Waiting& waiting) { return &waiting == &idle; });
  }

  /// Under mutex_: gives a message taken by the select to the oldest receive
  /// still waiting; a buffer nobody takes goes back into its channel.
  static void hand(Waiting& waiting, ChannelMessage message) {
    while (!waiting.receives.empty()) {
      const TaskRef task = std::move(waiting.receives.front());
      waiting.receives.pop_front();
      const bool taken = message ? task->complete(*message) : task->fail(ComputeError::channel_closed());
      if (taken) return;
    }
    // The close marker is posted again to every receive that finds nothing
    // else, so dropping it loses nothing.
    if (message) waiting.channel.give_back(std::move(*message));
  }

  std::mutex mutex_;
  /// Guarded by mutex_.
  std::vector<Waiting> waiting_;
  /// Rounds (one select and what it took handed on) ended. Guarded by mutex_.
  std::uint64_t rounds_ = 0;
  /// Notified at the end of every round.
  std::condition_variable round_ended_;
  /// Case 0 of every select: a message here only means "look again".
  const ChannelHandle wake_;
  const BufferRef nudge_;
};

ReceiveAgent& agent() { return service<ReceiveAgent>("receive agent", "bmx-receive", &ReceiveAgent::loop); }

}  // namespace

std::optional<Result<BufferRef>> receive_async(const TaskRef& task, const ChannelHandle& channel) {
  return agent().receive(task, channel);
}

bool withdraw_receive(const TaskRef& task) { return agent().withdraw(task); }

}  // namespace bmx
