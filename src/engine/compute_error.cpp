// Display and debug texts of ComputeError.
#include "compute_error.h"

#include <cstdio>

namespace bmx {

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::TypeError: return "TypeError";
    case ErrorKind::ShapeError: return "ShapeError";
    case ErrorKind::ArgError: return "ArgError";
    case ErrorKind::EmptyCollection: return "EmptyCollection";
    case ErrorKind::Cancelled: return "Cancelled";
    case ErrorKind::ChannelClosed: return "ChannelClosed";
    case ErrorKind::Internal: return "Internal";
  }
  return "Internal";
}

namespace {

bool has_payload(ErrorKind kind) { return kind != ErrorKind::Cancelled && kind != ErrorKind::ChannelClosed; }

}  // namespace

std::string display_text(const ComputeError& error) {
  std::string text = kind_name(error.kind());
  if (has_payload(error.kind())) {
    text += ": ";
    text += error.message();
  }
  return text;
}

std::string quoted_literal(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u{%x}", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string debug_text(const ComputeError& error) {
  std::string text = kind_name(error.kind());
  if (has_payload(error.kind())) {
    text += '(';
    text += quoted_literal(error.message());
    text += ')';
  }
  return text;
}

}  // namespace bmx
