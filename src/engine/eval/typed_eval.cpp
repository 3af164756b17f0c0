// Typed programs run block by block, as the float64 engine runs its own:
// each step that computes writes a block of its own (no step overwrites a
// value another still reads, whatever the sizes of their types), the last
// one writes straight into a contiguous output (a strided one takes each
// block where it lies), and the pieces of a long walk go to the pool. Inputs
// are read where they lie: a contiguous one in place, a broadcast number once
// per piece, any other one in place where a block lies contiguously in it (a
// row wider than the block), else gathered a block at a time.
#include "typed_eval.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>

#include "../internal_failure.h"
#include "block_loop.h"
#include "run_range.h"
#include "strided_walk.h"

namespace bmx {

namespace {

/// Pieces of less work than this many cheap elements are not worth a pool job.
constexpr std::size_t kMinPiece = 16384;

enum class Reading : std::uint8_t { InPlace, Once, Gathered };

/// Whether an array of `size`-byte elements with `strides` over `shape`
/// lies in C order, one element after another.
bool c_contiguous(std::span<const std::ptrdiff_t> strides, std::span<const std::size_t> shape, std::size_t size) {
  auto expected = static_cast<std::ptrdiff_t>(size);
  for (std::size_t d = shape.size(); d-- > 0;) {
    if (shape[d] > 1 && strides[d] != expected) return false;
    expected *= static_cast<std::ptrdiff_t>(shape[d]);
  }
  return true;
}

Reading reading_of(const TypedInput& input, std::span<const std::size_t> shape) {
  bool once = true;
  for (std::size_t d = 0; d < shape.size(); ++d) once = once && (shape[d] <= 1 || input.strides[d] == 0);
  if (once) return Reading::Once;
  return c_contiguous(input.strides, shape, dtype_size(input.type)) ? Reading::InPlace : Reading::Gathered;
}

/// How an output of `size`-byte elements with `strides` is written: nothing
/// for a C-contiguous one (or no strides given).
std::optional<StridedWalk> output_walk(std::size_t size, std::span<const std::ptrdiff_t> strides,
                                       std::span<const std::size_t> shape) {
  if (strides.empty() || c_contiguous(strides, shape, size)) return std::nullopt;
  return StridedWalk(size, strides, shape);
}

class Run {
 public:
  Run(const TypedProgram& program, std::span<const TypedInput> inputs, std::span<const std::size_t> shape, void* out,
      std::span<const std::ptrdiff_t> out_strides)
      : program_(program),
        inputs_(inputs),
        shape_(shape),
        out_(static_cast<unsigned char*>(out)),
        out_walk_(output_walk(dtype_size(program.result_type()), out_strides, shape)) {
    const std::vector<TypedStep>& steps = program.steps();
    readings_.resize(steps.size(), Reading::InPlace);
    offsets_.resize(steps.size(), kNoBlock);
    walks_.resize(steps.size());
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const TypedStep& step = steps[i];
      if (step.kind == TypedKind::Load) {
        const TypedInput& input = inputs_[step.payload];
        readings_[i] = reading_of(input, shape_);
        if (readings_[i] == Reading::Gathered) walks_[i].emplace(dtype_size(input.type), input.strides, shape_);
      }
      if (step.kind == TypedKind::Constant) readings_[i] = Reading::Once;
      const bool computes = step.kind != TypedKind::Load && step.kind != TypedKind::Constant;
      const bool needs_block =
          readings_[i] != Reading::InPlace || (computes && (i + 1 != steps.size() || out_walk_.has_value()));
      if (needs_block) {
        offsets_[i] = bytes;
        bytes += dtype_size(step.type);
      }
    }
    block_length_ = block_length_for(bytes);
    bytes_per_element_ = bytes;
  }

  bool piece(std::size_t begin, std::size_t end) const {
    const std::vector<TypedStep>& steps = program_.steps();
    // The blocks are as long as this piece's longest: a short array needs
    // no more, and a whole block's workspace would cost more to allocate
    // than the short run itself. Each block starts at a multiple of 16
    // elements from a new[] start, which is aligned for every element type
    // (of at most 16 bytes).
    const std::size_t spread = std::min(block_length_, end - begin);
    const std::size_t stride = (spread + 15) / 16 * 16;
    const auto workspace = std::make_unique_for_overwrite<unsigned char[]>(bytes_per_element_ * stride + 1);
    const auto block_of = [&](std::size_t step) { return workspace.get() + offsets_[step] * stride; };
    std::vector<const void*> values(steps.size(), nullptr);
    // A value read once is spread over the longest block this piece reads,
    // not a whole block: a short array of a text with many constants would
    // spend its time spreading them.
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (readings_[i] != Reading::Once) continue;
      unsigned char* const block = block_of(i);
      const TypedStep& step = steps[i];
      const std::size_t size = dtype_size(step.type);
      const unsigned char* element = step.kind == TypedKind::Constant ? program_.constants()[step.payload].data()
                                                                       : inputs_[step.payload].data;
      repeat_element(block, element, size, spread);
      values[i] = block;
    }
    bool ok = true;
    const std::size_t last = steps.size() - 1;
    for (std::size_t start = begin; start < end; start += spread) {
      const std::size_t length = std::min(spread, end - start);
      for (std::size_t i = 0; i <= last; ++i) {
        const TypedStep& step = steps[i];
        const std::size_t size = dtype_size(step.type);
        unsigned char* const target = i == last && !out_walk_ ? out_ + start * size
                                      : offsets_[i] == kNoBlock ? workspace.get()
                                                                : block_of(i);
        const auto& in = step.operands;
        switch (step.kind) {
          case TypedKind::Constant:
          case TypedKind::Repeat: break;
          case TypedKind::Load: {
            const TypedInput& input = inputs_[step.payload];
            if (readings_[i] == Reading::InPlace) {
              values[i] = input.data + start * size;
            } else if (readings_[i] == Reading::Gathered) {
              const StridedWalk& walk = *walks_[i];
              if (const std::optional<std::ptrdiff_t> offset = walk.contiguous(start, length)) {
                values[i] = input.data + *offset;
              } else {
                unsigned char* const block = block_of(i);
                walk.gather(block, input.data, start, length);
                values[i] = block;
              }
            }
            break;
          }
          case TypedKind::Cast:
            step.cast(target, values[in[0]], length);
            values[i] = target;
            break;
          case TypedKind::Apply:
            ok = step.loop(target, values[in[0]], step.arity == 2 ? values[in[1]] : nullptr, length) && ok;
            values[i] = target;
            break;
          case TypedKind::Where:
            step.select(target, static_cast<const bool*>(values[in[0]]), values[in[1]], values[in[2]], length);
            values[i] = target;
            break;
        }
      }
      // A strided output takes the block where it lies; into a contiguous
      // one, a program that only reads a value copies it out.
      const TypedStep& result = steps[last];
      if (out_walk_) {
        out_walk_->scatter(out_, static_cast<const unsigned char*>(values[last]), start, length);
      } else if (result.kind == TypedKind::Load || result.kind == TypedKind::Constant) {
        const std::size_t size = dtype_size(result.type);
        // memmove: the value read may be the output's own memory.
        std::memmove(out_ + start * size, values[last], length * size);
      }
    }
    return ok;
  }

 private:
  static constexpr std::size_t kNoBlock = ~std::size_t{0};

  const TypedProgram& program_;
  std::span<const TypedInput> inputs_;
  std::span<const std::size_t> shape_;
  unsigned char* out_;
  /// How a strided output is written; empty for a C-contiguous one.
  std::optional<StridedWalk> out_walk_;
  std::vector<Reading> readings_;
  /// How each gathered input is walked.
  std::vector<std::optional<StridedWalk>> walks_;
  /// Each block's place in the workspace, in bytes per element: the place is
  /// that times the length of a piece's blocks.
  std::vector<std::size_t> offsets_;
  std::size_t block_length_ = 0;
  std::size_t bytes_per_element_ = 0;
};

}  // namespace

bool evaluate_typed(const TypedProgram& program, std::span<const TypedInput> inputs,
                    std::span<const std::size_t> shape, void* out, std::span<const std::ptrdiff_t> out_strides) {
  check(inputs.size() == program.input_types().size(), "typed inputs do not match the program's");
  check(out_strides.empty() || out_strides.size() == shape.size(), "output strides do not match the shape");
  for (std::size_t slot = 0; slot < inputs.size(); ++slot) {
    check(inputs[slot].strides.size() == shape.size(), "typed input strides do not match the shape");
  }
  for (const TypedStep& step : program.steps()) {
    if (step.kind == TypedKind::Load) check(inputs[step.payload].type == step.type, "typed input of another type");
  }
  std::size_t n = 1;
  for (const std::size_t extent : shape) n *= extent;
  if (n == 0) return true;
  const Run run(program, inputs, shape, out, out_strides);
  std::atomic<bool> ok = true;
  run_range(
      n, kMinPiece,
      [&](std::size_t begin, std::size_t end) {
        if (!run.piece(begin, end)) ok.store(false, std::memory_order_relaxed);
      },
      program.element_cost());
  return ok.load();
}

}  // namespace bmx
