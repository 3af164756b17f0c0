// The block stack machine. Stack entries are operands, not copies: a LoadArg
// or PushConst pushes a pointer into the input buffer or a scalar, and only
// the Apply instructions write values, into the block of their stack depth,
// into the block of the temporary that keeps them when a StoreTemp follows,
// or, for the last instruction, straight into the output. A LoadTemp pushes
// the kept operand again without copying it. Two arithmetic operators in a
// row, and a square root right after them, run as one chain loop
// (chain_loops.h), which writes where the last of them would.
#include "flat_block_eval.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <memory>

#include "block_loop.h"
#include "operators.h"

namespace bmx {

namespace {

/// Whether a chain of `form` runs as its one loop, given which of its
/// operands are arrays (a and b the inner operator's, c and d a sum's second
/// product's): a sum of products needs four arrays, the other chains an array
/// among a and b, for two numbers fold as the inner operator alone does.
bool chain_runs(FlatBlockProgram::ChainForm form, bool a, bool b, bool c, bool d) {
  using enum FlatBlockProgram::ChainForm;
  return form == Products ? a && b && c && d : form != None && (a || b);
}

}  // namespace

FlatBlockProgram::FlatBlockProgram(const FlatKernel& kernel, std::span<const ArgSlot> slots,
                                   std::span<const SlotView> views, std::size_t n)
    : FlatBlockProgram(kernel, make_slot_sources(slots, views, n), n) {}

FlatBlockProgram::FlatBlockProgram(const FlatKernel& kernel, std::vector<SlotSource> sources, std::size_t n)
    : instrs_(kernel.instrs),
      loops_(active_loops().flat),
      chain_loops_(active_loops().chains),
      chains_(find_chains(instrs_)),
      sources_(std::move(sources)),
      n_(n) {

  std::size_t depth = 0;
  std::size_t deepest = 0;
  std::vector<bool> stored(kernel.temp_count, false);
  for (const FlatInstr& instr : instrs_) {
    switch (instr.kind) {
      case InstrKind::PushConst: ++depth; break;
      case InstrKind::LoadArg:
        check(instr.payload < sources_.size(), "slot index beyond the slots");
        ++depth;
        break;
      case InstrKind::ApplyUnary:
        dispatch_unary(static_cast<UnaryOp>(instr.op), [](auto) {});
        check(depth >= 1, "stack pop on an empty stack");
        break;
      case InstrKind::ApplyBinary:
        dispatch_binary(static_cast<BinaryOp>(instr.op), [](auto) {});
        check(depth >= 2, "stack pop on an empty stack");
        --depth;
        break;
      case InstrKind::ApplyCompare:
        dispatch_compare(static_cast<CompareOp>(instr.op), [](auto) {});
        check(depth >= 2, "stack pop on an empty stack");
        --depth;
        break;
      case InstrKind::StoreTemp:
        check(instr.payload < stored.size(), "temporary index beyond the temporaries");
        check(depth >= 1, "stack pop on an empty stack");
        stored[instr.payload] = true;
        break;
      case InstrKind::LoadTemp:
        check(instr.payload < stored.size() && stored[instr.payload], "temporary loaded before it was stored");
        ++depth;
        break;
      default: fail("unknown instruction kind " + std::to_string(static_cast<int>(instr.kind)));
    }
    deepest = std::max(deepest, depth);
  }
  check(depth >= 1, "flat program ended with an empty stack");
  check(deepest <= kernel.max_depth, "flat program deeper than its max_depth");
  depth_ = deepest;
  temp_count_ = kernel.temp_count;
  const bool one_loop = runs_as_one_loop();
  workspace_blocks_ = one_loop ? 0 : depth_ + temp_count_;
  // No longer than the whole range: a short array's blocks would otherwise be
  // a large allocation on every call, which costs more than the call's loops.
  const std::size_t longest = one_loop ? n : block_length_for(workspace_blocks_ * sizeof(double));
  block_length_ = std::clamp<std::size_t>(longest, 1, std::max<std::size_t>(n, 1));
}

std::size_t FlatBlockProgram::chain_end(std::size_t pc, Chain chain) {
  const std::size_t root = chain.root ? 1 : 0;
  switch (chain.form) {
    case ChainForm::Products: return pc + 4 + root;
    case ChainForm::InnerLeft: return pc + 2 + root;
    case ChainForm::InnerRight: return pc + 1 + root;
    case ChainForm::None: break;
  }
  return pc;
}

bool FlatBlockProgram::runs_as_one_loop() const {
  const auto pushes = [this](std::size_t pc) {
    return instrs_[pc].kind == InstrKind::PushConst || instrs_[pc].kind == InstrKind::LoadArg;
  };
  // A LoadTemp never counts: no value is kept before the chain.
  const auto is_array = [this](std::size_t pc) {
    return instrs_[pc].kind == InstrKind::LoadArg && sources_[instrs_[pc].payload].values != nullptr;
  };
  std::size_t pc = 0;
  while (pc < instrs_.size() && pushes(pc)) ++pc;
  if (pc < 2 || pc == instrs_.size() || chain_end(pc, chains_[pc]) != instrs_.size() - 1) return false;
  const bool products = chains_[pc].form == ChainForm::Products;
  return chain_runs(chains_[pc].form, is_array(pc - 2), is_array(pc - 1), products && is_array(pc + 1),
                    products && is_array(pc + 2));
}

std::vector<FlatBlockProgram::Chain> FlatBlockProgram::find_chains(std::span<const FlatInstr> instrs) {
  const auto chainable = [instrs](std::size_t pc) {
    return pc < instrs.size() && instrs[pc].kind == InstrKind::ApplyBinary &&
           chain_op_position(static_cast<BinaryOp>(instrs[pc].op)).has_value();
  };
  const auto pushes = [instrs](std::size_t pc) {
    const InstrKind kind = instrs[pc].kind;
    return kind == InstrKind::PushConst || kind == InstrKind::LoadArg || kind == InstrKind::LoadTemp;
  };
  const auto is_sqrt = [instrs](std::size_t pc) {
    return pc < instrs.size() && instrs[pc].kind == InstrKind::ApplyUnary &&
           static_cast<UnaryOp>(instrs[pc].op) == UnaryOp::Sqrt;
  };
  const auto is = [instrs](std::size_t pc, InstrKind kind, auto op) {
    return pc < instrs.size() && instrs[pc].kind == kind && instrs[pc].op == static_cast<std::uint8_t>(op);
  };
  // Reads an argument or a kept value, which may be arrays: a constant makes
  // the product an ordinary chain.
  const auto reads_values = [instrs](std::size_t pc) {
    return instrs[pc].kind == InstrKind::LoadArg || instrs[pc].kind == InstrKind::LoadTemp;
  };
  std::vector<Chain> chains(instrs.size());
  for (std::size_t pc = 0; pc < instrs.size(); ++pc) {
    if (!chainable(pc)) continue;
    if (is(pc, InstrKind::ApplyBinary, BinaryOp::Mul) && pc + 4 < instrs.size() && reads_values(pc + 1) &&
        reads_values(pc + 2) && is(pc + 3, InstrKind::ApplyBinary, BinaryOp::Mul) &&
        (is(pc + 4, InstrKind::ApplyBinary, BinaryOp::Add) || is(pc + 4, InstrKind::ApplyBinary, BinaryOp::Sub))) {
      chains[pc] = {ChainForm::Products, is_sqrt(pc + 5)};
    } else if (chainable(pc + 1)) {
      chains[pc] = {ChainForm::InnerRight, is_sqrt(pc + 2)};
    } else if (pc + 2 < instrs.size() && pushes(pc + 1) && chainable(pc + 2)) {
      chains[pc] = {ChainForm::InnerLeft, is_sqrt(pc + 3)};
    }
  }
  return chains;
}

void FlatBlockProgram::run(std::size_t begin, std::size_t end, double* out) const {
  // The temporaries' blocks and operands follow those of the stack.
  const auto stack = std::make_unique_for_overwrite<double[]>(workspace_blocks_ * block_length_);
  const auto operands = std::make_unique_for_overwrite<Operand[]>(depth_ + temp_count_);
  for_each_block(begin, end, n_, block_length_, out, [&](std::size_t start, std::size_t length, double* block_out) {
    run_block(start, length, stack.get(), operands.get(), block_out);
  });
}

void FlatBlockProgram::run_block(std::size_t start, std::size_t length, double* stack, Operand* operands,
                                 double* out) const {
  // An Apply writes the block of its own stack depth, which may hold its
  // left operand: every loop reads element k before it writes element k.
  // The temporaries' blocks follow the stack's; a program that runs as one
  // loop has neither, and writes only `out`.
  std::size_t top = 0;
  const std::size_t last = instrs_.size() - 1;
  const auto block = [&](std::size_t index) { return stack + index * block_length_; };
  Operand* const temps = operands + depth_;
  const auto target_of = [&](std::size_t pc, std::size_t depth) {
    if (pc == last) return out;
    const FlatInstr& next = instrs_[pc + 1];
    if (next.kind == InstrKind::StoreTemp) return block(depth_ + next.payload);
    return block(depth);
  };
  // The operand a PushConst, LoadArg or LoadTemp pushes.
  const auto pushed = [&](const FlatInstr& instr) -> Operand {
    if (instr.kind == InstrKind::PushConst) return {nullptr, std::bit_cast<double>(instr.payload)};
    if (instr.kind == InstrKind::LoadTemp) return temps[instr.payload];
    const Operand& source = sources_[instr.payload];
    return {source.values == nullptr ? nullptr : source.values + start, source.scalar};
  };
  for (std::size_t pc = 0; pc <= last; ++pc) {
    const FlatInstr& instr = instrs_[pc];
    // A chain runs both operators in one loop; when both inner operands are
    // numbers, the inner operator folds them as it does alone.
    const Chain chain = chains_[pc];
    if (chain.form == ChainForm::Products) {
      const Operand a = operands[top - 2], b = operands[top - 1];
      const Operand c = pushed(instrs_[pc + 1]), d = pushed(instrs_[pc + 2]);
      if (chain_runs(chain.form, a.values != nullptr, b.values != nullptr, c.values != nullptr,
                     d.values != nullptr)) {
        const std::size_t last_pc = chain_end(pc, chain);
        const bool subtract = static_cast<BinaryOp>(instrs_[pc + 4].op) == BinaryOp::Sub;
        double* const target = target_of(last_pc, top - 2);
        chain_loops_->products[ChainLoops::products_index(subtract, chain.root)](target, a.values, b.values,
                                                                                 c.values, d.values, length);
        operands[top - 2] = {target, 0.0};
        --top;
        pc = last_pc;
        continue;
      }
    }
    if ((chain.form == ChainForm::InnerLeft || chain.form == ChainForm::InnerRight) &&
        chain_runs(chain.form, operands[top - 2].values != nullptr, operands[top - 1].values != nullptr, false,
                   false)) {
      const bool inner_right = chain.form == ChainForm::InnerRight;
      const std::size_t outer_pc = pc + (inner_right ? 1 : 2);
      const std::size_t last_pc = chain_end(pc, chain);
      const std::size_t result = top - (inner_right ? 3 : 2);
      const Operand a = operands[top - 2];
      const Operand b = operands[top - 1];
      const Operand c = inner_right ? operands[result] : pushed(instrs_[pc + 1]);
      const ChainShape shape = a.values == nullptr   ? ChainShape::LeftScalar
                               : b.values == nullptr ? ChainShape::RightScalar
                                                     : ChainShape::BothArrays;
      const std::size_t index =
          ChainLoops::index(*chain_op_position(static_cast<BinaryOp>(instr.op)),
                            *chain_op_position(static_cast<BinaryOp>(instrs_[outer_pc].op)), shape,
                            c.values == nullptr, inner_right, chain.root);
      double* const target = target_of(last_pc, result);
      chain_loops_->loops[index](target, a, b, c, length);
      operands[result] = {target, 0.0};
      top = result + 1;
      pc = last_pc;
      continue;
    }
    switch (instr.kind) {
      case InstrKind::PushConst:
      case InstrKind::LoadArg:
      case InstrKind::LoadTemp: operands[top++] = pushed(instr); break;
      case InstrKind::ApplyUnary: {
        Operand& operand = operands[top - 1];
        double* target = target_of(pc, top - 1);
        if (operand.values == nullptr) {
          operand.scalar = apply_unary(static_cast<UnaryOp>(instr.op), operand.scalar);
        } else {
          loops_->unary[instr.op](target, operand.values, length);
          operand.values = target;
        }
        break;
      }
      case InstrKind::ApplyBinary:
      case InstrKind::ApplyCompare: {
        Operand& left = operands[top - 2];
        const Operand& right = operands[top - 1];
        --top;
        double* target = target_of(pc, top - 1);
        if (left.values == nullptr && right.values == nullptr) {
          left.scalar = instr.kind == InstrKind::ApplyBinary
                            ? apply_binary(static_cast<BinaryOp>(instr.op), left.scalar, right.scalar)
                            : apply_compare(static_cast<CompareOp>(instr.op), left.scalar, right.scalar);
          break;
        }
        const FlatLoops::Pair& loop =
            instr.kind == InstrKind::ApplyBinary ? loops_->binary[instr.op] : loops_->compare[instr.op];
        if (left.values == nullptr) {
          loop.left_scalar(target, left.scalar, right.values, length);
        } else if (right.values == nullptr) {
          loop.right_scalar(target, left.values, right.scalar, length);
        } else {
          loop.both(target, left.values, right.values, length);
        }
        left.values = target;
        break;
      }
      case InstrKind::StoreTemp: {
        // The value is normally in the temporary's block already; one left
        // in a stack block would be overwritten there, so it is moved.
        Operand& kept = temps[instr.payload];
        kept = operands[top - 1];
        double* const kept_block = block(depth_ + instr.payload);
        const std::less<const double*> before;
        if (kept.values != nullptr && !before(kept.values, stack) && before(kept.values, block(depth_))) {
          std::copy(kept.values, kept.values + length, kept_block);
          kept.values = kept_block;
        }
        break;
      }
    }
  }
  // The result is already in `out` unless the program ends in a scalar or in
  // a bare LoadArg of a buffer.
  const Operand& result = operands[top - 1];
  if (result.values == nullptr) {
    std::fill(out, out + length, result.scalar);
  } else if (result.values != out) {
    std::copy(result.values, result.values + length, out);
  }
}

}  // namespace bmx
