// Text signatures and method tables generated from the rows.
#include "method_table.h"

namespace bmx::py {

std::string text_signature(const char* name, bool has_receiver, std::span<const Param> params) {
  std::string text = std::string(name) + "(";
  bool first = true;
  const auto add = [&](const std::string& part) {
    if (!first) text += ", ";
    text += part;
    first = false;
  };
  const auto with_default = [](const Param& param) {
    check(param.default_text != nullptr, "a parameter with a default has no default text");
    return std::string(param.name) + "=" + param.default_text;
  };
  if (has_receiver) add("$self");
  // Keyword-only parameters follow *args, or a bare * where there is none.
  bool after_star = false;
  for (const Param& param : params) {
    switch (param.kind) {
      case ParamKind::Required: add(param.name); break;
      case ParamKind::Optional: add(with_default(param)); break;
      case ParamKind::VarPositional:
        add(std::string("*") + param.name);
        after_star = true;
        break;
      case ParamKind::KeywordOnly:
        if (!after_star) add("*");
        after_star = true;
        add(with_default(param));
        break;
      case ParamKind::VarKeyword: add(std::string("**") + param.name); break;
    }
  }
  return text + ")";
}

std::string docstring(const char* name, bool has_receiver, std::span<const Param> params, const char* doc) {
  return text_signature(name, has_receiver, params) + "\n--\n\n" + doc;
}

MethodDefs::MethodDefs(bool has_receiver, std::span<const Method> rows, std::span<const PyCFunction> entries) {
  check(rows.size() == entries.size(), "one entry point per method row");
  // Reserved up front: the method definitions point into these strings.
  docs_.reserve(rows.size());
  defs_.reserve(rows.size() + 1);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Method& row = rows[i];
    docs_.push_back(docstring(row.name, has_receiver, row.params, row.doc));
    defs_.push_back({row.name, entries[i], kFast, docs_.back().c_str()});
  }
  defs_.push_back({nullptr, nullptr, 0, nullptr});
}

}  // namespace bmx::py
