// The selection loop.
//
// Waiting on several queues while holding at most one queue lock at a time
// (the approach of crossbeam-channel's select; Go's selectgo instead locks
// every channel at once):
//   1. Shuffle: a fresh Fisher-Yates permutation of the cases per attempt, so
//      no case is favoured by its position.
//   2. Pass 1: try each case without waiting; the first ready one wins.
//   3. Pass 2: register one entry per case, all sharing this thread's wait
//      context and one packet. Each registration runs under that queue's lock
//      alone and reports whether the case became ready meanwhile; if so the
//      thread claims its own context (aborts) and stops registering, so a
//      message that arrived between pass 1 and pass 2 is never missed.
//   4. Park on the context's selection word until some queue claims it (a
//      message, the close marker), or the deadline ends the wait.
//   5. Pass 3: unregister from every queue, which also orders this thread
//      after the claim. Claims are exclusive, so at most one queue can have
//      handed a message to the packet.
//   6. A claim by case i is completed on case i first: at capacity 0 the
//      message is already in the packet; a bounded queue's claim is a
//      notification, and its message is taken now if no other receiver got it
//      first. Otherwise (a refresh, an abort because a case was ready, a lost
//      race) start again at 1; an abort that came from the deadline ends the
//      call with TimedOut.
#include "select.h"

#include <numeric>
#include <optional>
#include <utility>
#include <vector>

#include "internal_failure.h"
#include "thread_rng.h"

namespace bmx {

namespace {

std::vector<std::uint32_t> shuffled_order(std::size_t count) {
  std::vector<std::uint32_t> order(count);
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  ThreadRng& rng = ThreadRng::current();
  for (std::size_t i = count; i > 1; --i) {
    const std::uint32_t j = rng.below(static_cast<std::uint32_t>(i));
    std::swap(order[i - 1], order[j]);
  }
  return order;
}

std::optional<SelectResult> finish(std::size_t index, RecvResult got) {
  switch (got.status) {
    case RecvStatus::Message: return SelectResult{SelectStatus::Message, index, std::move(got.message)};
    case RecvStatus::Empty:
    case RecvStatus::TimedOut: break;
  }
  return std::nullopt;
}

std::optional<SelectResult> try_in_order(std::span<const ChannelHandle> cases, const std::vector<std::uint32_t>& order) {
  for (const std::uint32_t index : order) {
    if (std::optional<SelectResult> done = finish(index, cases[index].queue().try_recv())) return done;
  }
  return std::nullopt;
}

// The entries of one pass 2, withdrawn when it goes out of scope, so that no
// queue keeps a pointer to this frame's packet whatever happens.
class Registrations {
 public:
  Registrations(std::span<const ChannelHandle> cases, const std::vector<std::uint32_t>& order, const WaitContext& context)
      : cases_(cases), order_(order), context_(context) {}
  Registrations(const Registrations&) = delete;
  Registrations& operator=(const Registrations&) = delete;
  ~Registrations() { withdraw(); }

  /// Registers the next case in order; true if it is ready.
  bool add_next(const WaitEntry& entry) {
    const bool ready = cases_[order_[count_]].queue().register_receiver(entry);
    ++count_;
    return ready;
  }

  void withdraw() {
    for (; count_ > 0; --count_) {
      const std::uint32_t index = order_[count_ - 1];
      cases_[index].queue().unregister_receiver(context_, WaitContext::kFirstOperation + index);
    }
  }

 private:
  std::span<const ChannelHandle> cases_;
  const std::vector<std::uint32_t>& order_;
  const WaitContext& context_;
  std::size_t count_ = 0;
};

}  // namespace

SelectResult try_select(std::span<const ChannelHandle> cases) {
  if (std::optional<SelectResult> done = try_in_order(cases, shuffled_order(cases.size()))) return std::move(*done);
  return {SelectStatus::NoneReady, 0, std::nullopt};
}

SelectResult select(std::span<const ChannelHandle> cases, const Deadline& deadline) {
  if (cases.empty()) fail("no operations have been added to `Select`");
  check(cases.size() <= UINT32_MAX - WaitContext::kFirstOperation, "too many select cases");
  for (;;) {
    // Shuffle, then pass 1.
    const std::vector<std::uint32_t> order = shuffled_order(cases.size());
    if (std::optional<SelectResult> done = try_in_order(cases, order)) return std::move(*done);
    if (has_expired(deadline)) return {SelectStatus::TimedOut, 0, std::nullopt};

    // Pass 2: register with every case's queue.
    const std::shared_ptr<WaitContext>& context = WaitContext::prepare();
    Packet packet;
    Registrations registrations(cases, order, *context);
    bool ready = false;
    for (const std::uint32_t index : order) {
      ready = registrations.add_next(WaitEntry{context, WaitContext::kFirstOperation + index, &packet});
      if (ready) {
        context->try_abort();
        break;
      }
      if (context->selection() != WaitContext::kWaiting) break;
    }

    // Park, then pass 3.
    const std::uint32_t selection = context->wait_until(deadline);
    registrations.withdraw();

    if (selection >= WaitContext::kFirstOperation) {
      const std::size_t index = selection - WaitContext::kFirstOperation;
      if (std::optional<SelectResult> done = finish(index, cases[index].queue().accept_recv(packet))) {
        return std::move(*done);
      }
    } else if (selection == WaitContext::kAborted && !ready) {
      return {SelectStatus::TimedOut, 0, std::nullopt};
    }
  }
}

}  // namespace bmx
