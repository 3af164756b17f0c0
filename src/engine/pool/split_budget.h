// SplitBudget: how many more times a range piece may be halved.
//
// A piece that stays on the thread that split it inherits half the budget, so
// an undisturbed run makes about as many pieces as there are workers; a piece
// that another thread took means that thread was idle, so the budget is raised
// again to at least the thread count to feed it more work.
#pragma once

#include <algorithm>
#include <cstddef>

namespace bmx {

/// The halving split budget of one range piece. A value type: each half of a
/// split gets its own copy of the budget left after the split.
class SplitBudget {
 public:
  /// A fresh budget of `threads` splits, for the whole range.
  explicit SplitBudget(std::size_t threads) : splits_(threads), threads_(threads) {}

  /// Says whether the piece may be split now and, if so, spends one split
  /// (halving the budget, integer division). `migrated` says the piece runs on
  /// a different thread than the one that split it: then it may always split,
  /// with the budget max(halved, thread count). A budget of 0 refuses unless
  /// migrated.
  bool try_split(bool migrated) {
    if (migrated) {
      splits_ = std::max(splits_ / 2, threads_);
      return true;
    }
    if (splits_ == 0) return false;
    splits_ /= 2;
    return true;
  }

  /// The splits left.
  std::size_t splits() const { return splits_; }

 private:
  std::size_t splits_;
  std::size_t threads_;
};

}  // namespace bmx
