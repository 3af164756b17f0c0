#include "sleef_library.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <optional>

#include "../no_destructor.h"

namespace bmx {

namespace {

// What is loaded when the private variable does not name another file (the
// tests name a missing one to see the engine without the library).
constexpr const char* kDefaultLibrary = "libsleef.so.3";
constexpr const char* kHowToGet =
    "; install SLEEF 3 (Debian and Ubuntu: apt-get install libsleef3; elsewhere build SLEEF 3.5 or later from "
    "https://sleef.org and put libsleef.so.3 on the library path)";

struct Loaded {
  std::optional<std::array<SleefEntry, kSleefFunctionCount>> functions;
  std::string missing;
};

// Sleef_finz_<name><d|f><lanes>_<accuracy><extension>: "finz" is the variant
// whose bits are the same at every width.
std::string symbol(std::size_t function, bool f64, SleefWidth width) {
  static constexpr std::array<const char*, 3> kF64Lanes = {"d1", "d4", "d8"};
  static constexpr std::array<const char*, 3> kF32Lanes = {"f1", "f8", "f16"};
  static constexpr std::array<const char*, 3> kExtensions = {"purecfma", "avx2", "avx512f"};
  const auto w = static_cast<std::size_t>(width);
  const SleefInfo& info = kSleefInfos[function];
  std::string name(info.name);
  // ASCII's case, whatever the process's locale (Python sets one).
  for (char& c : name) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return "Sleef_finz_" + name + (f64 ? kF64Lanes[w] : kF32Lanes[w]) + "_" + std::string(info.accuracy) +
         kExtensions[w];
}

Loaded load() {
  const char* named = std::getenv("BMX_SLEEF_LIBRARY");
  const char* file = named != nullptr ? named : kDefaultLibrary;
  // Kept for the life of the process: loops may run until its very end.
  void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return {std::nullopt, std::string("fast math needs SLEEF, and ") + file + " was not found" + kHowToGet};
  std::array<SleefEntry, kSleefFunctionCount> functions{};
  for (std::size_t f = 0; f < kSleefFunctionCount; ++f) {
    for (const bool f64 : {true, false}) {
      for (const SleefWidth width : {SleefWidth::Scalar, SleefWidth::Avx2, SleefWidth::Avx512}) {
        const std::string name = symbol(f, f64, width);
        void* address = dlsym(library, name.c_str());
        if (address == nullptr) {
          return {std::nullopt, "fast math needs SLEEF 3.5 or later, and " + std::string(file) + " lacks " + name + kHowToGet};
        }
        SleefAny& slot = (f64 ? functions[f].f64 : functions[f].f32)[static_cast<std::size_t>(width)];
        // dlsym gives a function's address as an object pointer.
        std::memcpy(&slot, &address, sizeof slot);
      }
    }
  }
  return {functions, {}};
}

const Loaded& loaded() {
  static NoDestructor<Loaded> instance(load());
  return *instance;
}

}  // namespace

const std::array<SleefEntry, kSleefFunctionCount>* sleef_functions() {
  const Loaded& state = loaded();
  return state.functions ? &*state.functions : nullptr;
}

const std::string& sleef_missing() { return loaded().missing; }

}  // namespace bmx
