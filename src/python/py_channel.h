// Channel, RecvCase and py_select.
#pragma once

#include "py.h"

#include "channel/channel.h"
#include "module_part.h"
#include "py_class.h"

namespace bmx::py {

LazyType& channel_type();
LazyType& recv_case_type();

/// A new Channel object holding `handle`.
PyObject* wrap_channel(ChannelHandle handle);

/// The handle of a Channel object; the conversion error (expected 'Channel') with nullptr otherwise.
const ChannelHandle* unwrap_channel(PyObject* object);

/// The module function `py_select`.
extern const ModulePart kChannelPart;

}  // namespace bmx::py
