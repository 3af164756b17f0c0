// The engine's one function table: every operation of both engines, one row
// each. It lives here, below eval/, because the float64 trees' operators are
// expr/'s; each layer expands the columns it reads (expr/ops.h the float64
// operators, fastmath/sleef_library.h the SLEEF kernels, eval/typed_ops.h the
// typed operations). Adding a function is its row here, its scalar body per
// type family, and its line in the package's _functions.py.
#pragma once

/// One row per operation, as X(Y, typed, name, code, numpy, arity, rule,
/// families, levels, float32, kind, op, op_code, sleef, cost, fast). Every row hands the
/// caller's Y back to X, so that a filter over the rows (BMX_UNARY_OPS(Y),
/// BMX_TYPED_OPS(Y)) can call Y with the columns it keeps.
///
/// typed: T for an operation of typed evaluation, named after the NumPy
///   function whose loops it is; N for one only the float64 trees have, whose
///   typed columns are `-`. Then its enumerator and code (the code is written
///   in typed programs), NumPy's name, operands, result rule (Same, Bool,
///   Real), type families (b bool, i integers, r float32 and float64,
///   c complex64 and complex128), the levels that build its loops (All,
///   Baseline) and how float32 computes it (Rounded, Exact, Libm).
/// kind: the float64 trees' operator that its float64 loop is: U unary,
///   B binary, C comparison, N none; then the operator's enumerator and code
///   (UnaryOp, BinaryOp, CompareOp: codes and names are in expression bytes,
///   cache keys and reprs, and never change).
/// sleef: None, or Sleef(accuracy, mend, thresholds...): the SLEEF kernel
///   fast math computes its float32 and float64 loops with, named as the
///   float64 operator is, in lower case (see fastmath/sleef_library.h).
/// cost, fast: what one float64 element of it costs in libm's loop and in
///   fast math's, in additions (the time of one add's element, measured in
///   cache on one thread), so that the range split weighs a program's
///   elements by their work (eval/element_cost.h). A row without a SLEEF
///   kernel costs the same in both modes.
#define BMX_FUNCTIONS(X, Y)                                                                                          \
  X(Y, T, Negative, 0, "negative", 1, Same, "irc", All, Rounded, U, Neg, 0, None, 1, 1)                              \
  X(Y, T, Absolute, 1, "absolute", 1, Real, "birc", All, Rounded, U, Abs, 1, None, 1, 1)                             \
  X(Y, T, Sqrt, 2, "sqrt", 1, Same, "rc", All, Rounded, U, Sqrt, 2, None, 4, 4)                                      \
  X(Y, T, Exp, 3, "exp", 1, Same, "rc", Baseline, Rounded, U, Exp, 4, Sleef(u10, Plain), 17, 4)                      \
  X(Y, T, Expm1, 4, "expm1", 1, Same, "rc", Baseline, Rounded, U, Expm1, 23,                                         \
    Sleef(u10, Plain, 0x1p-54, 0x1p-25f), 27, 11)                                                                    \
  X(Y, T, Log, 5, "log", 1, Same, "rc", Baseline, Rounded, U, Log, 3, Sleef(u10, NegativeIsNan), 15, 6)              \
  X(Y, T, Log1p, 6, "log1p", 1, Same, "rc", Baseline, Rounded, U, Log1p, 22,                                         \
    Sleef(u10, Plain, 0x1p-54, 0x1p-25f, 0x1p1000, 0x1p120f), 32, 12)                                                \
  X(Y, T, Log2, 7, "log2", 1, Same, "rc", Baseline, Rounded, U, Log2, 5, Sleef(u10, NegativeIsNan), 13, 9)           \
  X(Y, T, Log10, 8, "log10", 1, Same, "rc", Baseline, Rounded, U, Log10, 6, Sleef(u10, NegativeIsNan), 25, 7)        \
  X(Y, T, Sin, 9, "sin", 1, Same, "rc", Baseline, Rounded, U, Sin, 10, Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 17, 10) \
  X(Y, T, Cos, 10, "cos", 1, Same, "rc", Baseline, Rounded, U, Cos, 11, Sleef(u10, Plain), 16, 8)                    \
  X(Y, T, Tan, 11, "tan", 1, Same, "rc", Baseline, Rounded, U, Tan, 12,                                              \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 21, 12)                                                                    \
  X(Y, T, Arcsin, 12, "arcsin", 1, Same, "rc", Baseline, Rounded, U, Asin, 16,                                       \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 30, 8)                                                                     \
  X(Y, T, Arccos, 13, "arccos", 1, Same, "rc", Baseline, Rounded, U, Acos, 17, Sleef(u10, Plain), 27, 12)            \
  X(Y, T, Arctan, 14, "arctan", 1, Same, "rc", Baseline, Rounded, U, Atan, 18,                                       \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 28, 11)                                                                    \
  X(Y, T, Sinh, 15, "sinh", 1, Same, "rc", Baseline, Rounded, U, Sinh, 13,                                           \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f, 709.0, 88.0f), 42, 24)                                                      \
  X(Y, T, Cosh, 16, "cosh", 1, Same, "rc", Baseline, Rounded, U, Cosh, 14,                                           \
    Sleef(u10, Plain, 0, 0, 709.0, 88.0f), 31, 14)                                                                   \
  X(Y, T, Tanh, 17, "tanh", 1, Same, "rc", Baseline, Rounded, U, Tanh, 15,                                           \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 47, 15)                                                                    \
  X(Y, T, Arcsinh, 18, "arcsinh", 1, Same, "rc", Baseline, Rounded, U, Asinh, 19,                                    \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f, 0x1p500, 0x1p60f), 70, 27)                                                  \
  X(Y, T, Arccosh, 19, "arccosh", 1, Same, "rc", Baseline, Rounded, U, Acosh, 20,                                    \
    Sleef(u10, Plain, 0, 0, 0x1p500, 0x1p60f), 66, 29)                                                               \
  X(Y, T, Arctanh, 20, "arctanh", 1, Same, "rc", Baseline, Rounded, U, Atanh, 21,                                    \
    Sleef(u10, Plain, 0x1p-27, 0x1p-13f), 58, 15)                                                                    \
  X(Y, T, Floor, 21, "floor", 1, Same, "bir", Baseline, Rounded, U, Floor, 7, None, 6, 6)                            \
  X(Y, T, Ceil, 22, "ceil", 1, Same, "bir", Baseline, Rounded, U, Ceil, 8, None, 7, 7)                               \
  X(Y, T, Trunc, 23, "trunc", 1, Same, "bir", All, Rounded, U, Trunc, 24, None, 2, 2)                                \
  X(Y, T, Rint, 24, "rint", 1, Same, "birc", All, Rounded, U, RoundEven, 25, None, 2, 2)                             \
  X(Y, T, Sign, 25, "sign", 1, Same, "irc", All, Rounded, U, Sign, 26, None, 1, 1)                                   \
  X(Y, T, Signbit, 26, "signbit", 1, Bool, "r", All, Rounded, U, Signbit, 27, None, 2, 2)                            \
  X(Y, T, Isnan, 27, "isnan", 1, Bool, "birc", All, Rounded, U, IsNan, 28, None, 1, 1)                               \
  X(Y, T, Isinf, 28, "isinf", 1, Bool, "birc", All, Rounded, U, IsInf, 29, None, 1, 1)                               \
  X(Y, T, Isfinite, 29, "isfinite", 1, Bool, "birc", All, Rounded, U, IsFinite, 30, None, 1, 1)                      \
  X(Y, T, Invert, 30, "invert", 1, Same, "bi", All, Rounded, N, -, -, None, 1, 1)                                    \
  X(Y, T, Real, 31, "real", 1, Real, "c", All, Rounded, N, -, -, None, 1, 1)                                         \
  X(Y, T, Imag, 32, "imag", 1, Real, "c", All, Rounded, N, -, -, None, 1, 1)                                         \
  X(Y, T, Conjugate, 33, "conjugate", 1, Same, "birc", All, Rounded, N, -, -, None, 1, 1)                            \
  X(Y, T, Cbrt, 34, "cbrt", 1, Same, "r", Baseline, Rounded, U, Cbrt, 31, None, 64, 64)                              \
  X(Y, N, -, -, -, -, -, -, -, -, U, Round, 9, None, 25, 25)                                                         \
  X(Y, T, Add, 40, "add", 2, Same, "birc", All, Exact, B, Add, 0, None, 1, 1)                                        \
  X(Y, T, Subtract, 41, "subtract", 2, Same, "irc", All, Exact, B, Sub, 1, None, 1, 1)                               \
  X(Y, T, Multiply, 42, "multiply", 2, Same, "birc", All, Exact, B, Mul, 2, None, 1, 1)                              \
  X(Y, T, Divide, 43, "divide", 2, Same, "rc", All, Exact, B, Div, 3, None, 2, 2)                                    \
  X(Y, T, FloorDivide, 44, "floor_divide", 2, Same, "ir", All, Exact, B, FloorDiv, 12, None, 7, 7)                   \
  X(Y, T, Remainder, 45, "remainder", 2, Same, "ir", All, Exact, B, Mod, 13, None, 7, 7)                             \
  X(Y, T, Power, 46, "power", 2, Same, "irc", Baseline, Libm, B, Pow, 4, Sleef(u10, OverflowsEarly), 44, 23)         \
  X(Y, T, Arctan2, 47, "arctan2", 2, Same, "r", Baseline, Rounded, B, Atan2, 5, Sleef(u10, Plain), 62, 18)           \
  X(Y, T, Hypot, 48, "hypot", 2, Same, "r", Baseline, Rounded, B, Hypot, 9, Sleef(u05, Plain), 30, 15)               \
  X(Y, T, Copysign, 49, "copysign", 2, Same, "r", All, Exact, B, Copysign, 11, None, 1, 1)                           \
  X(Y, T, Nextafter, 50, "nextafter", 2, Same, "r", Baseline, Exact, B, Nextafter, 10, None, 50, 50)                 \
  X(Y, T, Fmod, 51, "fmod", 2, Same, "ir", Baseline, Rounded, B, Fmod, 8, None, 40, 40)                              \
  X(Y, T, Fmin, 52, "fmin", 2, Same, "bir", All, Exact, B, Min, 6, None, 1, 1)                                       \
  X(Y, T, Fmax, 53, "fmax", 2, Same, "bir", All, Exact, B, Max, 7, None, 1, 1)                                       \
  X(Y, T, Minimum, 54, "minimum", 2, Same, "bir", All, Exact, B, Minimum, 14, None, 1, 1)                            \
  X(Y, T, Maximum, 55, "maximum", 2, Same, "bir", All, Exact, B, Maximum, 15, None, 1, 1)                            \
  X(Y, T, BitwiseAnd, 56, "bitwise_and", 2, Same, "bi", All, Rounded, N, -, -, None, 1, 1)                           \
  X(Y, T, BitwiseOr, 57, "bitwise_or", 2, Same, "bi", All, Rounded, N, -, -, None, 1, 1)                             \
  X(Y, T, BitwiseXor, 58, "bitwise_xor", 2, Same, "bi", All, Rounded, N, -, -, None, 1, 1)                           \
  X(Y, T, LeftShift, 59, "left_shift", 2, Same, "i", All, Rounded, N, -, -, None, 1, 1)                              \
  X(Y, T, RightShift, 60, "right_shift", 2, Same, "i", All, Rounded, N, -, -, None, 1, 1)                            \
  X(Y, T, Greater, 61, "greater", 2, Bool, "birc", All, Rounded, C, Gt, 0, None, 1, 1)                               \
  X(Y, T, GreaterEqual, 62, "greater_equal", 2, Bool, "birc", All, Rounded, C, Ge, 1, None, 1, 1)                    \
  X(Y, T, Less, 63, "less", 2, Bool, "birc", All, Rounded, C, Lt, 2, None, 1, 1)                                     \
  X(Y, T, LessEqual, 64, "less_equal", 2, Bool, "birc", All, Rounded, C, Le, 3, None, 1, 1)                          \
  X(Y, T, Equal, 65, "equal", 2, Bool, "birc", All, Rounded, C, Eq, 4, None, 1, 1)                                   \
  X(Y, T, NotEqual, 66, "not_equal", 2, Bool, "birc", All, Rounded, C, Ne, 5, None, 1, 1)                            \
  X(Y, T, FromParts, 67, "complex", 2, Same, "c", All, Rounded, N, -, -, None, 1, 1)
