// Binding of Python call arguments to a signature table, with the
// interpreter's own wording for every binding error.
//
// Each method row (method_table.h) declares its parameters once, in a
// constexpr table; its entry point binds the call against it, the body
// converts the bound values, and a conversion that fails with TypeError is
// reported through argument_error().
#pragma once

#include "py.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace bmx::py {

enum class ParamKind : std::uint8_t {
  Required,       ///< positional-or-keyword, no default
  Optional,       ///< positional-or-keyword with a default
  VarPositional,  ///< *name: the remaining positional arguments
  KeywordOnly,    ///< keyword-only with a default
  VarKeyword,     ///< **name: every keyword that names no parameter
};

struct Param {
  const char* name;
  ParamKind kind;
  /// The default as the text signature shows it ("None", "False"); only for
  /// Optional and KeywordOnly parameters.
  const char* default_text = nullptr;
};

/// What a call is bound against. Messages name the function as
/// "<owner>.<name>()", or "<name>()" for a module function (owner null):
/// "_RuntimeModule.asarray()", "py_select()".
struct Signature {
  const char* owner;
  const char* name;
  std::span<const Param> params;
};

/// A keyword argument collected by a **kwargs parameter (borrowed references).
struct KeywordArg {
  PyObject* name;
  PyObject* value;
};

/// Arguments bound to a signature; every reference is borrowed from the call.
class BoundArgs {
 public:
  static constexpr std::size_t kMaxParams = 7;

  /// The value of parameter `index` (its position in the table), or nullptr
  /// when an optional parameter was not given.
  PyObject* operator[](std::size_t index) const { return values_[index]; }
  /// The name of parameter `index`, for argument_error().
  const char* name(std::size_t index) const { return params_[index].name; }
  /// The positional arguments collected by the *args parameter.
  std::span<PyObject* const> var_positional() const { return var_positional_; }
  /// The keywords collected by the **kwargs parameter, in call order.
  std::span<const KeywordArg> var_keyword() const { return var_keyword_; }

 private:
  friend bool bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, BoundArgs&);

  std::span<const Param> params_;
  std::array<PyObject*, kMaxParams> values_{};
  std::span<PyObject* const> var_positional_;
  std::vector<KeywordArg> var_keyword_;
};

/// Binds a vectorcall-style call (`nargsf` as CPython passes it). Returns
/// false with TypeError set when the call does not fit the signature.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, BoundArgs& out);

/// Binds a tp_new-style call (args tuple, kwargs dict or null).
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, BoundArgs& out);

/// Reports the pending conversion error of parameter `index` of `args`: a
/// TypeError is replaced by TypeError "argument 'NAME': <message>", NAME
/// from the signature table, with the original as __cause__; other
/// exceptions are left as they are. Always returns nullptr.
PyObject* argument_error(const BoundArgs& args, std::size_t index);

}  // namespace bmx::py
