// KernelSpec: a kernel whose arguments are numbered by slot and named for binding.
#pragma once

#include <string>
#include <vector>

#include "expr_node.h"

namespace bmx {

/// `arg_names[i]` is the name of the argument the tree reads as ArgRef(i);
/// the names are distinct and never empty as a list.
struct KernelSpec {
  std::vector<std::string> arg_names;
  ExprTree tree;
};

}  // namespace bmx
