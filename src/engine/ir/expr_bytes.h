// Expressions and kernels as bytes and back, so that they can cross processes.
//
// Layout, version 1 (integers are unsigned LEB128 varints in their shortest
// form, constants 8 bytes little-endian):
//   magic     "BMX", then 'E' for an expression or 'K' for a kernel
//   version   one byte: 1
//   flags     expressions only, one byte: 1 when the expression is a bare
//             argument (its repr is its name), else 0
//   names     a count, then each argument's name as a byte length and UTF-8
//             bytes, in slot order
//   nodes     a count, then the tree in post-order, one code byte per node as
//             the kernel key numbers them (kernel_key.h): Const is followed by
//             its bit pattern, ArgRef by its slot; operators have no operand
//             bytes
// and nothing after the last node. An expression's arguments take their slots
// in ascending id order, which is the order elementwise gives them, so a
// decoded expression compiles to the same kernel.
//
// Decoding trusts nothing: every count is checked against the bytes left
// before anything is reserved, and a tree that is not exactly one well-formed
// tree with at least one argument and every slot in range and used is
// refused. The tree is never walked recursively.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "../expr/expr.h"
#include "../expr/kernel_spec.h"
#include "../result.h"

namespace bmx {

/// The bytes of `expr`: its expanded tree and its arguments' names. Argument
/// ids are not kept. An expression without arguments (only the engine can
/// build one) encodes, but its bytes do not decode. std::bad_alloc when the
/// bytes cannot be allocated or the tree expands beyond 2^32 - 1 nodes.
std::vector<std::uint8_t> encode_expr(const Expr& expr);

/// The expression `bytes` encode, with a fresh argument id drawn for each of
/// its names (in slot order, so ascending ids keep the slot order), and only
/// once the bytes have been found valid: arguments of one decoded expression
/// stay one argument wherever they occur, but are never the arguments of
/// another expression, decoded or not. ArgError "invalid expression bytes:
/// ..." saying what is wrong, for bytes that encode_expr cannot have made
/// from an expression built from arguments.
Result<Expr> decode_expr(std::span<const std::uint8_t> bytes);

/// The bytes of `kernel`: its argument names and its expanded tree of slots.
/// std::bad_alloc when the bytes cannot be allocated or the tree expands
/// beyond 2^32 - 1 nodes.
std::vector<std::uint8_t> encode_kernel(const KernelSpec& kernel);

/// The kernel `bytes` encode; ArgError "invalid kernel bytes: ..." for bytes
/// that encode_kernel cannot have made, including kernels that break the
/// KernelSpec invariants (no names, a name twice, a slot never used).
Result<KernelSpec> decode_kernel(std::span<const std::uint8_t> bytes);

}  // namespace bmx
