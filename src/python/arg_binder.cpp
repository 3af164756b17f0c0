// Argument binding and its messages, in the interpreter's wording.
#include "arg_binder.h"

#include <string>

#include "boundary.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

bool is_positional(ParamKind kind) { return kind == ParamKind::Required || kind == ParamKind::Optional; }

std::string call_name(const Signature& signature) {
  std::string text = signature.owner != nullptr ? std::string(signature.owner) + "." : std::string();
  return text + signature.name + "()";
}

bool raise_type_error(const std::string& message) {
  set_error(PyExc_TypeError, message);
  return false;
}

bool too_many_positional(const Signature& signature, std::size_t given) {
  std::size_t required = 0;
  std::size_t total = 0;
  for (const Param& param : signature.params) {
    if (!is_positional(param.kind)) continue;
    ++total;
    if (param.kind == ParamKind::Required) ++required;
  }
  std::string message = call_name(signature) + " takes ";
  if (required == total) {
    message += std::to_string(total);
  } else {
    message += "from " + std::to_string(required) + " to " + std::to_string(total);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return raise_type_error(message);
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

bool missing(const Signature& signature, const std::vector<const char*>& names, const char* kind) {
  return raise_type_error(call_name(signature) + " missing " + std::to_string(names.size()) + " required " + kind +
                          (names.size() == 1 ? " argument: " : " arguments: ") + quoted_list(names));
}

// Index of the named (non-variadic) parameter called `keyword`, or -1.
int find_param(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const Param& param = signature.params[i];
    if (param.kind == ParamKind::VarPositional || param.kind == ParamKind::VarKeyword) continue;
    if (PyUnicode_CompareWithASCIIString(keyword, param.name) == 0) return static_cast<int>(i);
  }
  return -1;
}

bool accepts_var_keyword(const Signature& signature) {
  for (const Param& param : signature.params) {
    if (param.kind == ParamKind::VarKeyword) return true;
  }
  return false;
}

bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  std::array<PyObject*, BoundArgs::kMaxParams>& values, std::vector<KeywordArg>& extra) {
  const int index = find_param(signature, keyword);
  if (index < 0) {
    if (accepts_var_keyword(signature)) {
      extra.push_back({keyword, value});
      return true;
    }
    const char* text = PyUnicode_AsUTF8(keyword);
    if (text == nullptr) return false;
    return raise_type_error(call_name(signature) + " got an unexpected keyword argument '" + text + "'");
  }
  if (values[index] != nullptr) {
    return raise_type_error(call_name(signature) + " got multiple values for argument '" +
                            signature.params[index].name + "'");
  }
  values[index] = value;
  return true;
}

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, BoundArgs& out) {
  check(signature.params.size() <= BoundArgs::kMaxParams, "signature has too many parameters");
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  std::array<PyObject*, BoundArgs::kMaxParams> values{};

  // Positional arguments fill the positional parameters in order; the rest go
  // to *args if there is one.
  std::size_t next = 0;
  bool has_var_positional = false;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const ParamKind kind = signature.params[i].kind;
    if (kind == ParamKind::VarPositional) has_var_positional = true;
    if (is_positional(kind) && next < given) values[i] = args[next++];
  }
  if (next < given) {
    if (!has_var_positional) return too_many_positional(signature, given);
    out.var_positional_ = std::span<PyObject* const>(args + next, given - next);
  }

  std::vector<KeywordArg> extra;
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[given + k], values, extra)) return false;
    }
  }

  std::vector<const char*> missing_names;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (signature.params[i].kind == ParamKind::Required && values[i] == nullptr) {
      missing_names.push_back(signature.params[i].name);
    }
  }
  if (!missing_names.empty()) return missing(signature, missing_names, "positional");

  out.params_ = signature.params;
  out.values_ = values;
  out.var_keyword_ = std::move(extra);
  return true;
}

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, BoundArgs& out) {
  // Lay the call out as a vectorcall does: positionals, then keyword values,
  // with their names in a tuple. The references stay owned by args/kwargs.
  std::vector<PyObject*> flat;
  const Py_ssize_t given = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < given; ++i) flat.push_back(PyTuple_GET_ITEM(args, i));
  PyRef names;
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    names = PyRef::steal(expect_object(PyTuple_New(PyDict_GET_SIZE(kwargs))));
    Py_ssize_t position = 0;
    Py_ssize_t index = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(key));
      flat.push_back(value);
    }
  }
  // Variadic tails would point into `flat`, which dies here; constructors have none.
  for (const Param& param : signature.params) {
    check(param.kind != ParamKind::VarPositional && param.kind != ParamKind::VarKeyword,
          "bind_tuple used with a variadic signature");
  }
  return bind(signature, flat.data(), given, names.get(), out);
}

PyObject* argument_error(const BoundArgs& args, std::size_t index) {
  if (PyErr_ExceptionMatches(PyExc_TypeError) == 0) return nullptr;
  const PyRef cause = PyRef::steal(PyErr_GetRaisedException());
  const PyRef text = PyRef::steal(PyObject_Str(cause.get()));
  if (!text) return nullptr;
  const PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", args.name(index), text.get()));
  if (!message) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!error) return nullptr;
  PyException_SetCause(error.get(), Py_NewRef(cause.get()));
  PyErr_SetRaisedException(error.release());
  return nullptr;
}

}  // namespace bmx::py
