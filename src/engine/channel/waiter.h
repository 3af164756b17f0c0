// Waiting machinery shared by the queue flavors and select: the per-thread
// wait context, the entries a waiting thread leaves with a queue, the list of
// such entries, and the deferred wake-ups that run after a queue's lock is
// dropped.
//
// A thread that must wait registers an entry with one queue (or, in select,
// with several), then parks on its context's selection word. Whoever wants to
// wake it claims the context by compare-and-swap on that word while holding
// the lock of the queue the entry sits in; only one claim can succeed, which
// is how select waits on many queues while holding one queue lock at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "deadline.h"
#include "message.h"

namespace bmx {

/// One thread's waiting state for one operation at a time.
///
/// Selection word values:
///   kWaiting          nobody has claimed the context yet
///   kAborted          the owner gave up (deadline, signal, or it found a case ready)
///   kRefresh          a queue's state changed for everyone (disconnection,
///                     close marker taken): re-examine the queue
///   kFirstOperation+i the entry registered with operation number i was
///                     claimed by a queue (see the flavors for what that means)
/// The word leaves kWaiting at most once per operation; only the owner resets it.
class WaitContext {
 public:
  static constexpr std::uint32_t kWaiting = 0;
  static constexpr std::uint32_t kAborted = 1;
  static constexpr std::uint32_t kRefresh = 2;
  static constexpr std::uint32_t kFirstOperation = 3;

  /// This thread's context, reset to kWaiting for a new operation. Call it only
  /// once every entry of the thread's previous operation has been unregistered.
  static const std::shared_ptr<WaitContext>& prepare();

  /// Moves the word from kWaiting to `selection`; false if it had already left
  /// kWaiting. Queues call it under their lock.
  bool try_claim(std::uint32_t selection);

  /// The owner's own claim with kAborted; returns the word afterwards (kAborted,
  /// or whatever claim came first).
  std::uint32_t try_abort();

  /// The current word.
  std::uint32_t selection() const;

  /// Waits, parked, until the word leaves kWaiting or the deadline ends the
  /// wait (then the owner claims kAborted itself). Returns the word. The
  /// entries stay registered throughout.
  std::uint32_t wait_until(const Deadline& deadline);

  /// Wakes the owner if it is parked on the word. Call without any queue lock.
  void unpark();

 private:
  std::atomic<std::uint32_t> selection_{kWaiting};
};

/// Where a rendezvous hands a message between a waiting thread and its partner.
/// Touched only under the lock of the queue the entry is registered with, or by
/// the owner while it is registered nowhere.
struct Packet {
  /// The message offered by a waiting sender, or given to a waiting receiver.
  std::optional<ChannelMessage> message;
};

/// A waiting thread's registration with one queue.
struct WaitEntry {
  /// Kept alive by the entry so a waker may still unpark it after unlocking.
  std::shared_ptr<WaitContext> context;
  /// The selection a claim through this entry writes (kFirstOperation + case).
  std::uint32_t operation;
  /// The owner's packet; valid while the entry is registered.
  Packet* packet;
};

/// Contexts to unpark, and parked sends to tell, once the queue lock is
/// dropped. Declare it before the lock guard, so the wake-ups run in its
/// destructor after the unlock.
class WakeList {
 public:
  WakeList() = default;
  WakeList(const WakeList&) = delete;
  WakeList& operator=(const WakeList&) = delete;
  ~WakeList();

  void add(std::shared_ptr<WaitContext> context);
  /// Makes room for `count` more contexts, so adding them cannot fail.
  void reserve(std::size_t count);
  /// Tells a claimed parked send how it ended, once the lock is dropped.
  void finish(std::shared_ptr<SendClaim> owner, SendStatus status);

 private:
  std::vector<std::shared_ptr<WaitContext>> contexts_;
  std::vector<std::pair<std::shared_ptr<SendClaim>, SendStatus>> finishes_;
};

/// The entries of the threads waiting on one side of one queue, oldest first.
/// Not synchronised: the owning queue's lock guards it.
class WaiterList {
 public:
  void add(WaitEntry entry);

  /// Removes the entry of `context` for `operation`, if still present.
  void remove(const WaitContext& context, std::uint32_t operation);

  /// Claims the oldest entry whose context is still waiting, with its operation,
  /// and removes it. Entries whose claim fails stay for their owners to remove.
  std::optional<WaitEntry> claim_one();

  /// Claims every still-waiting entry with kRefresh, removes them and queues
  /// their contexts on `wakes`.
  void claim_all(WakeList& wakes);

  /// Whether some entry's context is still waiting (it could be claimed now).
  bool has_claimable() const;

 private:
  std::vector<WaitEntry> entries_;
};

}  // namespace bmx
