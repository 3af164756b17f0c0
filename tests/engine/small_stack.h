// Running test bodies on a thread with a small native stack: deep-tree tests
// run there inside a death-test child, so any native recursion over the tree
// crashes the child and fails one test instead of the suite.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace bmx::test_support {

/// Far below what recursion over 100,000 levels needs, ample for iteration.
inline constexpr std::size_t kSmallStack = std::size_t{1} << 20;

/// Ends the (child) process with status 3 and a message when `condition` fails.
inline void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "deep tree check failed: %s\n", what);
    std::_Exit(3);
  }
}

/// Runs `body` to completion on a thread with kSmallStack bytes of stack.
inline void run_on_small_stack(void (*body)()) {
  pthread_attr_t attributes;
  require(pthread_attr_init(&attributes) == 0, "pthread_attr_init");
  require(pthread_attr_setstacksize(&attributes, kSmallStack) == 0, "pthread_attr_setstacksize");
  pthread_t thread;
  require(pthread_create(
              &thread, &attributes,
              [](void* argument) -> void* {
                reinterpret_cast<void (*)()>(argument)();
                return nullptr;
              },
              reinterpret_cast<void*>(body)) == 0,
          "pthread_create");
  require(pthread_join(thread, nullptr) == 0, "pthread_join");
  pthread_attr_destroy(&attributes);
}

}  // namespace bmx::test_support
