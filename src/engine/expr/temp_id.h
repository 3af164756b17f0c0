// The process-unique argument id counter.
#pragma once

#include <cstdint>

namespace bmx {

/// Draws the next argument id: one sequentially consistent fetch-and-add on a
/// process-wide counter that starts at 0 and is never reset; returns the value
/// before the increment. Ids are unique for the life of the process and
/// increase in drawing order. Any thread may call it. Callers validate
/// everything that can fail before drawing, so a failed call wastes no id.
std::uint64_t next_temp_id();

}  // namespace bmx
