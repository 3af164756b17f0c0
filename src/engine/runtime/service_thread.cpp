#include "service_thread.h"

#include <cxxabi.h>
#include <pthread.h>

#include <cstdio>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "internal_failure.h"

namespace bmx {

namespace {

std::string os_error_text(const std::error_code& code) {
  return code.message() + " (os error " + std::to_string(code.value()) + ")";
}

// A service never runs Python code, so the interpreter never ends its thread;
// the forced unwinding of a cancellation could still reach it, since waiting
// on a condition is a cancellation point. That unwinding must go on to the end
// of the thread: a catch-all that swallows it aborts the process.
void run(const char* what, const std::function<void()>& body) {
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s stopped: %s\n", what, error.what());
  } catch (...) {
    std::fprintf(stderr, "%s stopped\n", what);
  }
}

}  // namespace

void start_service_thread(const char* what, const char* name, std::function<void()> body) {
  try {
    std::thread thread(run, what, std::move(body));
    pthread_setname_np(thread.native_handle(), name);
    thread.detach();
  } catch (const std::system_error& error) {
    fail(std::string("failed to spawn ") + what + " thread: " + os_error_text(error.code()));
  }
}

}  // namespace bmx
