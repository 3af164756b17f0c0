// Result<T>: a value or a ComputeError, for engine operations that can fail
// for a reason a caller can meet.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "compute_error.h"
#include "internal_failure.h"

namespace bmx {

/// Holds a T or a ComputeError; never both, never neither. Reading the value
/// of a failed result (or the error of a successful one) is an internal failure.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(ComputeError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }

  const T& value() const& {
    check(ok(), "value() of a failed Result");
    return std::get<0>(state_);
  }
  T&& value() && {
    check(ok(), "value() of a failed Result");
    return std::get<0>(std::move(state_));
  }
  const ComputeError& error() const& {
    check(!ok(), "error() of a successful Result");
    return std::get<1>(state_);
  }
  ComputeError&& error() && {
    check(!ok(), "error() of a successful Result");
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, ComputeError> state_;
};

/// Success without a value, or a ComputeError.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(ComputeError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  const ComputeError& error() const& {
    check(error_.has_value(), "error() of a successful Result");
    return *error_;
  }

 private:
  std::optional<ComputeError> error_;
};

}  // namespace bmx
