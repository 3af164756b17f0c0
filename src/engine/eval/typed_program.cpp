#include "typed_program.h"

#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace bmx {

namespace {

ComputeError refusal(std::string message) { return ComputeError::arg(std::move(message)); }

std::string type_text(ElementType type) { return std::string(dtype_name(type)); }

/// An operand a step takes: its type, and the word a refusal names the step by.
struct Operand {
  ElementType type;
  std::string_view what;
};

// Moves the operands `wanted` describes off `stack` into `operands`, the last
// one from the top, checking each one's type against the step that made it.
Result<void> pop_operands(std::vector<std::uint32_t>& stack, const std::vector<TypedStep>& steps,
                          std::span<const Operand> wanted, std::array<std::uint32_t, 3>& operands) {
  for (std::size_t k = wanted.size(); k-- > 0;) {
    const Operand& operand = wanted[k];
    if (stack.empty()) return refusal("stack empty at " + std::string(operand.what));
    const std::uint32_t index = stack.back();
    stack.pop_back();
    if (steps[index].type != operand.type) {
      return refusal(std::string(operand.what) + " takes " + type_text(operand.type) + ", not " +
                     type_text(steps[index].type));
    }
    operands[k] = index;
  }
  return {};
}

}  // namespace

Result<TypedProgram> TypedProgram::compile(const std::vector<TypedInstr>& instrs, std::vector<ElementBytes> constants,
                                           std::size_t input_count, MathMode math) {
  TypedProgram program;
  program.constants_ = std::move(constants);
  program.input_types_.assign(input_count, ElementType::Bool);
  std::vector<TypedStep>& steps = program.steps_;
  std::vector<ElementType>& input_types = program.input_types_;
  std::vector<bool> loaded(input_count, false);
  std::vector<std::uint32_t> stack;
  for (const TypedInstr& instr : instrs) {
    if (!is_dtype_code(static_cast<std::uint64_t>(instr.type))) return refusal("unknown dtype code");
    if (instr.kind == TypedKind::Repeat) {
      // A shared value is made once: every step keeps its own block for the
      // whole run, so a later step may read it again.
      if (instr.payload >= steps.size()) return refusal("repeat of a step not made yet");
      stack.push_back(static_cast<std::uint32_t>(instr.payload));
      continue;
    }
    TypedStep step{.kind = instr.kind, .type = instr.type, .payload = instr.payload};
    switch (instr.kind) {
      case TypedKind::Constant:
        if (instr.payload >= program.constants_.size()) return refusal("constant index beyond the constants");
        break;
      case TypedKind::Load:
        if (instr.payload >= input_count) return refusal("input index beyond the inputs");
        if (loaded[instr.payload] && input_types[instr.payload] != instr.type) {
          return refusal("an input loaded as two types");
        }
        loaded[instr.payload] = true;
        input_types[instr.payload] = instr.type;
        break;
      case TypedKind::Cast:
        if (stack.empty()) return refusal("stack empty at cast");
        step.operands[0] = stack.back();
        stack.pop_back();
        step.cast = find_cast(steps[step.operands[0]].type, instr.type);
        program.element_cost_ += 1;
        break;
      case TypedKind::Apply: {
        const TypedOpInfo* info = typed_op_info(instr.op);
        if (info == nullptr) return refusal("unknown operation code " + std::to_string(instr.op));
        step.loop = math == MathMode::Fast ? find_fast_loop(info->op, instr.type) : nullptr;
        program.element_cost_ += step.loop == nullptr ? info->cost : info->fast_cost;
        if (step.loop == nullptr) step.loop = find_loop(info->op, instr.type);
        if (step.loop == nullptr) {
          return refusal("no loop of " + std::string(info->name) + " for " + type_text(instr.type));
        }
        std::array<Operand, 3> wanted{};
        wanted.fill({instr.type, info->name});
        const std::span<const Operand> taken = std::span(wanted).first(static_cast<std::size_t>(info->arity));
        if (const Result<void> popped = pop_operands(stack, steps, taken, step.operands); !popped.ok()) {
          return popped.error();
        }
        step.arity = static_cast<std::uint8_t>(info->arity);
        step.type = bmx::result_type(*info, instr.type);
        break;
      }
      case TypedKind::Where: {
        const Operand wanted[] = {
            {ElementType::Bool, "where's condition"}, {instr.type, "where"}, {instr.type, "where"}};
        if (const Result<void> popped = pop_operands(stack, steps, wanted, step.operands); !popped.ok()) {
          return popped.error();
        }
        step.select = find_select(dtype_size(instr.type));
        program.element_cost_ += 1;
        break;
      }
      default: return refusal("unknown instruction kind " + std::to_string(static_cast<int>(instr.kind)));
    }
    stack.push_back(static_cast<std::uint32_t>(steps.size()));
    steps.push_back(step);
  }
  if (stack.size() != 1) return refusal("the program must leave exactly one value");
  return program;
}

}  // namespace bmx
