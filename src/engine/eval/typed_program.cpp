#include "typed_program.h"

#include <string_view>
#include <utility>

namespace bmx {

namespace {

[[noreturn]] void refuse(std::string message) { throw TypedProgramError{std::move(message)}; }

std::string type_text(ElementType type) { return std::string(dtype_name(type)); }

}  // namespace

TypedProgram::TypedProgram(const std::vector<TypedInstr>& instrs, std::vector<ElementBytes> constants,
                           std::size_t input_count, MathMode math)
    : constants_(std::move(constants)), input_types_(input_count, ElementType::Bool) {
  std::vector<bool> loaded(input_count, false);
  std::vector<std::uint32_t> stack;
  const auto pop = [&](ElementType expected, const char* what) {
    if (stack.empty()) refuse(std::string("stack empty at ") + what);
    const std::uint32_t index = stack.back();
    stack.pop_back();
    if (steps_[index].type != expected) {
      refuse(std::string(what) + " takes " + type_text(expected) + ", not " + type_text(steps_[index].type));
    }
    return index;
  };
  for (const TypedInstr& instr : instrs) {
    if (!is_dtype_code(static_cast<std::uint64_t>(instr.type))) refuse("unknown dtype code");
    if (instr.kind == TypedKind::Repeat) {
      // A shared value is made once: every step keeps its own block for the
      // whole run, so a later step may read it again.
      if (instr.payload >= steps_.size()) refuse("repeat of a step not made yet");
      stack.push_back(static_cast<std::uint32_t>(instr.payload));
      continue;
    }
    TypedStep step{.kind = instr.kind, .type = instr.type, .payload = instr.payload};
    switch (instr.kind) {
      case TypedKind::Constant:
        if (instr.payload >= constants_.size()) refuse("constant index beyond the constants");
        break;
      case TypedKind::Load:
        if (instr.payload >= input_count) refuse("input index beyond the inputs");
        if (loaded[instr.payload] && input_types_[instr.payload] != instr.type) refuse("an input loaded as two types");
        loaded[instr.payload] = true;
        input_types_[instr.payload] = instr.type;
        break;
      case TypedKind::Cast: {
        if (stack.empty()) refuse("stack empty at cast");
        const ElementType from = steps_[stack.back()].type;
        step.operands[0] = pop(from, "cast");
        step.cast = find_cast(from, instr.type);
        break;
      }
      case TypedKind::Apply: {
        const TypedOpInfo* info = typed_op_info(instr.op);
        if (info == nullptr) refuse("unknown operation code " + std::to_string(instr.op));
        step.loop = math == MathMode::Fast ? find_fast_loop(info->op, instr.type) : nullptr;
        if (step.loop == nullptr) step.loop = find_loop(info->op, instr.type);
        if (step.loop == nullptr) {
          refuse("no loop of " + std::string(info->name) + " for " + type_text(instr.type));
        }
        for (int k = info->arity - 1; k >= 0; --k) {
          step.operands[static_cast<std::size_t>(k)] = pop(instr.type, info->name.data());
        }
        step.arity = static_cast<std::uint8_t>(info->arity);
        step.type = bmx::result_type(*info, instr.type);
        break;
      }
      case TypedKind::Where:
        step.operands[2] = pop(instr.type, "where");
        step.operands[1] = pop(instr.type, "where");
        step.operands[0] = pop(ElementType::Bool, "where's condition");
        step.select = find_select(dtype_size(instr.type));
        break;
      default: refuse("unknown instruction kind " + std::to_string(static_cast<int>(instr.kind)));
    }
    stack.push_back(static_cast<std::uint32_t>(steps_.size()));
    steps_.push_back(step);
  }
  if (stack.size() != 1) refuse("the program must leave exactly one value");
}

}  // namespace bmx
