// _KernelModule: the factories of expressions, kernels, maps and reductions.
#include "py_kernel.h"

#include <string>
#include <vector>

#include "arg_binder.h"
#include "convert.h"
#include "py_buffer.h"
#include "py_expr.h"
#include "py_ref.h"

namespace bmx::py {

namespace {

using enum ParamKind;

constexpr Param kNameParam[] = {{"name", Required}};
constexpr Param kNamesParam[] = {{"names", VarPositional}};
constexpr Param kExprParam[] = {{"expr", Required}};
constexpr Param kMapParams[] = {{"spec", Required}, {"kwargs", VarKeyword}};
constexpr Param kPowParams[] = {{"base", Required}, {"exp", Required}};
constexpr Param kAtan2Params[] = {{"y", Required}, {"x", Required}};
constexpr Param kMinMaxParams[] = {{"a", Required}, {"b", Required}};
constexpr Param kWhereParams[] = {{"cond", Required}, {"true_val", Required}, {"false_val", Required}};
constexpr Param kBufParam[] = {{"buf", Required}};

constexpr Signature kNew{"_KernelModule.__new__", {}};
constexpr Signature kArg{"_KernelModule.arg", kNameParam};
constexpr Signature kArgs{"_KernelModule.args", kNamesParam};
constexpr Signature kElementwise{"_KernelModule.elementwise", kExprParam};
constexpr Signature kMap{"_KernelModule.map", kMapParams};
constexpr Signature kWhere{"_KernelModule.where_", kWhereParams};

PyObject* kernel_module_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return new_stateless(type, kNew, args, kwargs);
}

PyObject* arg_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kArg, args, nargs, kwnames, bound)) return nullptr;
    std::string name;
    if (!to_text(bound[0], name)) return argument_error("name");
    return wrap_expr(make_arg(std::move(name)));
  });
}

PyObject* args_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kArgs, args, nargs, kwnames, bound)) return nullptr;
    // Every name is converted before the first id is drawn, so a bad name wastes none.
    std::vector<std::string> names;
    for (PyObject* value : bound.var_positional()) {
      std::string name;
      if (!to_text(value, name)) return argument_error("names");
      names.push_back(std::move(name));
    }
    PyRef list = PyRef::steal(expect_object(PyList_New(static_cast<Py_ssize_t>(names.size()))));
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), wrap_expr(make_arg(std::move(names[i]))));
    }
    return list.release();
  });
}

PyObject* elementwise_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kElementwise, args, nargs, kwnames, bound)) return nullptr;
    const Expr* expr = unwrap_expr(bound[0]);
    if (expr == nullptr) return argument_error("expr");
    Result<KernelSpec> spec = elementwise(*expr);
    if (!spec.ok()) {
      set_error(PyExc_ValueError, spec.error().message());
      return nullptr;
    }
    return make_instance(kernel_spec_type().get(), std::move(spec).value());
  });
}

// A binding value: a Buffer, else an integer or a float as a scalar.
std::optional<ArgSlot> to_binding(PyObject* value) {
  if (is_instance(value, buffer_type().get())) return ArgSlot(*unwrap_buffer(value));
  if (const std::optional<double> number = to_number(value)) return ArgSlot(*number);
  return std::nullopt;
}

PyObject* map_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kMap, args, nargs, kwnames, bound)) return nullptr;
    if (!is_instance(bound[0], kernel_spec_type().get())) {
      raise_conversion_error(bound[0], "KernelSpec");
      return argument_error("spec");
    }
    MapContent content{payload<KernelSpec>(bound[0]), {}};
    for (const KeywordArg& keyword : bound.var_keyword()) {
      std::string name;
      if (!to_text(keyword.name, name)) return nullptr;
      std::optional<ArgSlot> slot = to_binding(keyword.value);
      if (!slot) {
        set_error(PyExc_TypeError, "argument '" + name + "' must be Buffer or numeric");
        return nullptr;
      }
      content.bindings.insert_or_assign(std::move(name), std::move(*slot));
    }
    return make_instance(map_spec_type().get(), std::move(content));
  });
}

template <UnaryOp op, const Signature& signature>
PyObject* unary_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    const Expr* expr = unwrap_expr(bound[0]);
    if (expr == nullptr) return argument_error("expr");
    return wrap_expr(unary_expr(op, *expr));
  });
}

template <BinaryOp op, const Signature& signature>
PyObject* binary_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    const Expr* first = unwrap_expr(bound[0]);
    if (first == nullptr) return argument_error(signature.params[0].name);
    const Expr* second = unwrap_expr(bound[1]);
    if (second == nullptr) return argument_error(signature.params[1].name);
    return wrap_expr(binary_expr(op, *first, *second));
  });
}

PyObject* where_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(kWhere, args, nargs, kwnames, bound)) return nullptr;
    const Expr* cond = unwrap_expr(bound[0]);
    if (cond == nullptr) return argument_error("cond");
    const std::optional<Operand> then_val = to_operand(bound[1]);
    if (!then_val) return nullptr;
    const std::optional<Operand> else_val = to_operand(bound[2]);
    if (!else_val) return nullptr;
    return wrap_expr(select_expr(*cond, then_val->get(), else_val->get()));
  });
}

template <ReduceOp op, const Signature& signature>
PyObject* reduce_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    BoundArgs bound;
    if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
    const BufferRef* buffer = unwrap_buffer(bound[0]);
    if (buffer == nullptr) return argument_error("buf");
    return make_instance(reduce_spec_type().get(), ReduceContent{*buffer, op});
  });
}

constexpr Signature kSqrt{"_KernelModule.sqrt", kExprParam};
constexpr Signature kAbs{"_KernelModule.abs", kExprParam};
constexpr Signature kLog{"_KernelModule.log", kExprParam};
constexpr Signature kExp{"_KernelModule.exp", kExprParam};
constexpr Signature kLog2{"_KernelModule.log2", kExprParam};
constexpr Signature kLog10{"_KernelModule.log10", kExprParam};
constexpr Signature kFloor{"_KernelModule.floor", kExprParam};
constexpr Signature kCeil{"_KernelModule.ceil", kExprParam};
constexpr Signature kRound{"_KernelModule.round", kExprParam};
constexpr Signature kSin{"_KernelModule.sin", kExprParam};
constexpr Signature kCos{"_KernelModule.cos", kExprParam};
constexpr Signature kTan{"_KernelModule.tan", kExprParam};
constexpr Signature kPow{"_KernelModule.pow", kPowParams};
constexpr Signature kAtan2{"_KernelModule.atan2", kAtan2Params};
constexpr Signature kMin{"_KernelModule.min", kMinMaxParams};
constexpr Signature kMax{"_KernelModule.max", kMinMaxParams};
constexpr Signature kSum{"_KernelModule.sum", kBufParam};
constexpr Signature kMean{"_KernelModule.mean", kBufParam};
constexpr Signature kMinReduce{"_KernelModule.min_reduce", kBufParam};
constexpr Signature kMaxReduce{"_KernelModule.max_reduce", kBufParam};

PyMethodDef kMethods[] = {
    {"arg", as_method(arg_method), kFast, "arg($self, name)\n--\n\nCreate a single named argument expression."},
    {"args", as_method(args_method), kFast, "args($self, *names)\n--\n\nCreate multiple named argument expressions."},
    {"elementwise", as_method(elementwise_method), kFast,
     "elementwise($self, expr)\n--\n\nCreate an elementwise kernel from an expression.\n"
     "Performs dense reindexing: `temp_ids` are mapped to 0, 1, 2, ... in sorted order."},
    {"map", as_method(map_method), kFast,
     "map($self, spec, **kwargs)\n--\n\nMap a kernel spec over named arguments, returning a `MapSpec` for `rt.go()`."},
    {"sqrt", as_method(unary_method<UnaryOp::Sqrt, kSqrt>), kFast, "sqrt($self, expr)\n--\n\n"},
    {"abs", as_method(unary_method<UnaryOp::Abs, kAbs>), kFast, "abs($self, expr)\n--\n\n"},
    {"log", as_method(unary_method<UnaryOp::Log, kLog>), kFast, "log($self, expr)\n--\n\n"},
    {"exp", as_method(unary_method<UnaryOp::Exp, kExp>), kFast, "exp($self, expr)\n--\n\n"},
    {"log2", as_method(unary_method<UnaryOp::Log2, kLog2>), kFast, "log2($self, expr)\n--\n\n"},
    {"log10", as_method(unary_method<UnaryOp::Log10, kLog10>), kFast, "log10($self, expr)\n--\n\n"},
    {"floor", as_method(unary_method<UnaryOp::Floor, kFloor>), kFast, "floor($self, expr)\n--\n\n"},
    {"ceil", as_method(unary_method<UnaryOp::Ceil, kCeil>), kFast, "ceil($self, expr)\n--\n\n"},
    {"round", as_method(unary_method<UnaryOp::Round, kRound>), kFast, "round($self, expr)\n--\n\n"},
    {"sin", as_method(unary_method<UnaryOp::Sin, kSin>), kFast, "sin($self, expr)\n--\n\n"},
    {"cos", as_method(unary_method<UnaryOp::Cos, kCos>), kFast, "cos($self, expr)\n--\n\n"},
    {"tan", as_method(unary_method<UnaryOp::Tan, kTan>), kFast, "tan($self, expr)\n--\n\n"},
    {"pow", as_method(binary_method<BinaryOp::Pow, kPow>), kFast, "pow($self, base, exp)\n--\n\n"},
    {"atan2", as_method(binary_method<BinaryOp::Atan2, kAtan2>), kFast, "atan2($self, y, x)\n--\n\n"},
    {"min", as_method(binary_method<BinaryOp::Min, kMin>), kFast, "min($self, a, b)\n--\n\n"},
    {"max", as_method(binary_method<BinaryOp::Max, kMax>), kFast, "max($self, a, b)\n--\n\n"},
    {"where_", as_method(where_method), kFast,
     "where_($self, cond, true_val, false_val)\n--\n\nConditional select: `where(cond, true_val, false_val)`."},
    {"sum", as_method(reduce_method<ReduceOp::Sum, kSum>), kFast, "sum($self, buf)\n--\n\n"},
    {"mean", as_method(reduce_method<ReduceOp::Mean, kMean>), kFast, "mean($self, buf)\n--\n\n"},
    {"min_reduce", as_method(reduce_method<ReduceOp::Min, kMinReduce>), kFast, "min_reduce($self, buf)\n--\n\n"},
    {"max_reduce", as_method(reduce_method<ReduceOp::Max, kMaxReduce>), kFast, "max_reduce($self, buf)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kModuleSlots[] = {
    {Py_tp_doc, const_cast<char*>("_KernelModule()\n--\n\nThe kernel module exposed to Python.\n"
                                  "Contains factory functions for creating expressions and kernel specs.")},
    {Py_tp_new, as_slot(kernel_module_new)},
    {Py_tp_dealloc, as_slot(dealloc_plain)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kModuleSpec = {
    .name = "builtins._KernelModule",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kModuleSlots,
};

template <class T>
struct OpaqueClass {
  PyType_Slot slots[4];
  PyType_Spec spec;
  OpaqueClass(const char* name, const char* doc)
      : slots{{Py_tp_doc, const_cast<char*>(doc)},
              {Py_tp_new, as_slot(refuse_construction)},
              {Py_tp_dealloc, as_slot(dealloc_instance<T>)},
              {0, nullptr}},
        spec{name, static_cast<int>(sizeof(Instance<T>)), 0, Py_TPFLAGS_DEFAULT, slots} {}
};

}  // namespace

LazyType& kernel_module_type() {
  static LazyType type(kModuleSpec);
  return type;
}

LazyType& kernel_spec_type() {
  static OpaqueClass<KernelSpec> opaque("builtins.KernelSpec", "Python-visible kernel specification.");
  static LazyType type(opaque.spec);
  return type;
}

LazyType& map_spec_type() {
  static OpaqueClass<MapContent> opaque("builtins.MapSpec", "Specification for mapping a kernel over arguments.");
  static LazyType type(opaque.spec);
  return type;
}

LazyType& reduce_spec_type() {
  static OpaqueClass<ReduceContent> opaque("builtins.ReduceSpec", "Specification for a reduce operation.");
  static LazyType type(opaque.spec);
  return type;
}

const MapContent* as_map_spec(PyObject* object) {
  return is_instance(object, map_spec_type().get()) ? &payload<MapContent>(object) : nullptr;
}

const ReduceContent* as_reduce_spec(PyObject* object) {
  return is_instance(object, reduce_spec_type().get()) ? &payload<ReduceContent>(object) : nullptr;
}

}  // namespace bmx::py
