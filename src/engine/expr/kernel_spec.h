// KernelSpec: a kernel whose arguments are numbered by slot and named for binding.
#pragma once

#include <string>
#include <vector>

#include "expr_graph.h"

namespace bmx {

/// `arg_names[i]` is the name of the argument the tree reads as ArgRef(i);
/// the names are distinct and never empty as a list. The tree is held as the
/// graph of its distinct subtrees, so a kernel costs what its distinct
/// subtrees do, however large its expansion.
struct KernelSpec {
  std::vector<std::string> arg_names;
  ExprGraph tree;
};

}  // namespace bmx
