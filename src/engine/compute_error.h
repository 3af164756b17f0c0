// ComputeError: the one error enumeration of the engine, and its two text forms.
//
// Errors are plain values: returned inside Result<T>, stored on tasks and moved
// between threads. Converting them into Python exceptions is the binding
// layer's job.
#pragma once

#include <cstdint>
#include <string>

namespace bmx {

/// The kind of an error; the numbers are part of the data model.
enum class ErrorKind : std::uint8_t {
  TypeError = 0,
  ShapeError = 1,
  ArgError = 2,
  EmptyCollection = 3,
  Cancelled = 4,
  ChannelClosed = 5,
  Internal = 6,
};

/// An error kind and, for all kinds but Cancelled and ChannelClosed, a message.
class ComputeError {
 public:
  static ComputeError type_error(std::string message) { return {ErrorKind::TypeError, std::move(message)}; }
  static ComputeError shape(std::string message) { return {ErrorKind::ShapeError, std::move(message)}; }
  static ComputeError arg(std::string message) { return {ErrorKind::ArgError, std::move(message)}; }
  static ComputeError empty_collection(std::string message) {
    return {ErrorKind::EmptyCollection, std::move(message)};
  }
  static ComputeError cancelled() { return {ErrorKind::Cancelled, {}}; }
  static ComputeError channel_closed() { return {ErrorKind::ChannelClosed, {}}; }
  static ComputeError internal(std::string message) { return {ErrorKind::Internal, std::move(message)}; }

  ErrorKind kind() const { return kind_; }
  /// Empty for Cancelled and ChannelClosed.
  const std::string& message() const { return message_; }

  friend bool operator==(const ComputeError&, const ComputeError&) = default;

 private:
  ComputeError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_;
  std::string message_;
};

/// The variant name: "TypeError", "ShapeError", ..., "Internal".
const char* kind_name(ErrorKind kind);

/// "ShapeError: abc"; the payload-free kinds display as their name alone.
std::string display_text(const ComputeError& error);

/// `ShapeError("abc")` with the message as an escaped string literal;
/// the payload-free kinds print as their name alone.
std::string debug_text(const ComputeError& error);

/// Double-quoted string literal with quotes, backslashes and control
/// characters escaped, as debug texts print messages.
std::string quoted_literal(const std::string& text);

}  // namespace bmx
