// FunctionRef: a non-owning reference to a callable, two words wide.
//
// The pool hands bodies across threads by reference only: every callable it
// runs outlives the call that referenced it, so no copy and no allocation are
// needed, unlike std::function.
#pragma once

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace bmx {

template <class Signature>
class FunctionRef;

/// Refers to a callable with signature R(Args...) without owning it. The
/// callable must outlive every call through the reference; bind only to
/// objects that live at least as long as the FunctionRef is used (a lambda
/// passed straight to a function taking a FunctionRef qualifies).
template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& callable) noexcept
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> R {
          return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace bmx
