// The runtime's services (the delivery worker, the task runner, the receive
// agent): one state per process, served by one detached, named thread.
#pragma once

#include <functional>
#include <memory>

#include "per_process.h"

namespace bmx {

/// Starts a detached thread named `name` that runs `body`. `what`, a string
/// literal, names the service in messages: internal failure "failed to spawn
/// <what> thread: <os error>" when the thread cannot be started, and a line
/// "<what> stopped: <reason>" on stderr if an exception ends `body`. A forced
/// unwinding (thread cancellation) goes on to the end of the thread.
void start_service_thread(const char* what, const char* name, std::function<void()> body);

/// This process's T, made on first use (again in a forked child, see
/// per_process.h) together with the thread that runs `serve(T&)` on it. The
/// T is never destroyed: its thread uses it until the process ends. Fails as
/// start_service_thread does, and the next call tries again.
template <class T, class Serve>
T& service(const char* what, const char* name, Serve serve) {
  return PerProcess<T>::get([&] {
    auto fresh = std::make_unique<T>();
    start_service_thread(what, name, [serve, &state = *fresh] { std::invoke(serve, state); });
    return fresh;
  });
}

}  // namespace bmx
