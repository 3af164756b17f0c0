// Wait contexts parked on a futex, waiter lists and deferred wake-ups.
#include "waiter.h"

#include <algorithm>

#include "parking.h"

namespace bmx {

const std::shared_ptr<WaitContext>& WaitContext::prepare() {
  thread_local const std::shared_ptr<WaitContext> context = std::make_shared<WaitContext>();
  // Relaxed is enough: every entry of the previous operation is gone, so no
  // other thread reads the word until a new entry is published under a queue
  // lock, which orders this store before any claim.
  context->selection_.store(kWaiting, std::memory_order_relaxed);
  return context;
}

bool WaitContext::try_claim(std::uint32_t selection) {
  std::uint32_t expected = kWaiting;
  return selection_.compare_exchange_strong(expected, selection);
}

std::uint32_t WaitContext::try_abort() {
  std::uint32_t expected = kWaiting;
  if (selection_.compare_exchange_strong(expected, kAborted)) return kAborted;
  return expected;
}

std::uint32_t WaitContext::selection() const { return selection_.load(); }

std::uint32_t WaitContext::wait_until(const Deadline& deadline) {
  // No spinning: the partner of a channel operation is a Python thread that
  // first needs the interpreter lock, or the delivery worker, so the answer
  // takes longer than a futex round trip; and spinning or yielding on a busy
  // machine gives the processor away for a whole time slice.
  if (!park_while(selection_, kWaiting, deadline)) return try_abort();
  return selection_.load();
}

void WaitContext::unpark() { unpark_one(selection_); }

WakeList::~WakeList() {
  for (const auto& context : contexts_) context->unpark();
  for (const auto& [owner, status] : finishes_) owner->finish(status);
}

void WakeList::finish(std::shared_ptr<SendClaim> owner, SendStatus status) {
  finishes_.emplace_back(std::move(owner), status);
}

void WakeList::add(std::shared_ptr<WaitContext> context) { contexts_.push_back(std::move(context)); }

void WakeList::reserve(std::size_t count) { contexts_.reserve(contexts_.size() + count); }

void WaiterList::add(WaitEntry entry) { entries_.push_back(std::move(entry)); }

void WaiterList::remove(const WaitContext& context, std::uint32_t operation) {
  const auto found = std::find_if(entries_.begin(), entries_.end(), [&](const WaitEntry& entry) {
    return entry.context.get() == &context && entry.operation == operation;
  });
  if (found != entries_.end()) entries_.erase(found);
}

std::optional<WaitEntry> WaiterList::claim_one() {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->context->try_claim(it->operation)) {
      WaitEntry claimed = std::move(*it);
      entries_.erase(it);
      return claimed;
    }
  }
  return std::nullopt;
}

void WaiterList::claim_all(WakeList& wakes) {
  wakes.reserve(entries_.size());
  std::erase_if(entries_, [&](WaitEntry& entry) {
    if (!entry.context->try_claim(WaitContext::kRefresh)) return false;
    wakes.add(std::move(entry.context));
    return true;
  });
}

bool WaiterList::has_claimable() const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [](const WaitEntry& entry) { return entry.context->selection() == WaitContext::kWaiting; });
}

}  // namespace bmx
