// InternalFailure: the one exception type of the engine, for broken contracts.
//
// It is thrown only through fail() and check(), never for a reason user input
// can cause, and every Python entry point catches it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace bmx {

/// A broken internal contract: a message and where it was detected.
class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

/// Throws InternalFailure with `message` at `where`.
[[noreturn]] void fail(std::string message, std::source_location where = std::source_location::current());

/// Throws InternalFailure with `message` when `condition` is false.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
  if (!condition) fail(message, where);
}

}  // namespace bmx
