// The block tree walk over element sets.
//
// A frame evaluates one node for a set of elements of the current block and
// writes each element's value into its `out` array at the element's block
// offset, so a Select's branches write their disjoint parts of the parent's
// array directly and nothing has to be scattered afterwards. A dense set (the
// whole block) has no offset list, which keeps its loops contiguous.
#include "tree_block_eval.h"

#include <algorithm>
#include <limits>
#include <memory>

#include "block_loop.h"
#include "element_sets.h"
#include "operators.h"

namespace bmx {

namespace {

struct Frame {
  std::size_t node;
  /// The elements' block offsets; null for the dense set 0 .. count-1.
  const std::uint32_t* offsets;
  std::size_t count;
  /// Receives the node's values, indexed by block offset.
  double* out;
  /// Binary and Compare: the values of the operand evaluated second, indexed
  /// by block offset (a temporary block, or a buffer's data for an ArgRef),
  /// or null when that operand is the scalar `second_scalar`.
  const double* second;
  double second_scalar;
  /// Whether `second` is a temporary block of the workspace.
  bool owns_temp;
  /// Select: the element lists of both branches.
  std::uint32_t* lists;
  std::size_t then_count;
  std::uint8_t stage;
};

Frame enter_frame(std::size_t node, const std::uint32_t* offsets, std::size_t count, double* out) {
  return Frame{node, offsets, count, out, nullptr, 0.0, false, nullptr, 0, 0};
}

void fill(const Frame& frame, double value) {
  double* const out = frame.out;
  for_each_offset(frame.offsets, frame.count, [out, value](std::size_t s) { out[s] = value; });
}

/// Peak needs of a subtree, given the evaluation order the plan chose.
struct Need {
  /// Temporary bytes per block element, the measure the order minimises.
  std::uint64_t bytes;
  std::uint64_t temps;
  std::uint64_t lists;
  std::uint64_t frames;
};

}  // namespace

struct TreeBlockProgram::Workspace {
  std::unique_ptr<double[]> kept;
  std::unique_ptr<double[]> temps;
  std::size_t temps_used;
  std::unique_ptr<std::uint32_t[]> lists;
  std::size_t lists_used;
  std::vector<Frame> frames;
};

std::size_t partition_by_condition(const double* condition, const std::uint32_t* offsets, std::size_t count,
                                   std::uint32_t* lists) {
  // Branch-free, as conditions are often unpredictable: the offset is
  // written to both free ends and only the chosen end advances. Before each
  // element at least one place is free, so both writes stay in bounds.
  std::size_t front = 0;
  std::size_t back = count;
  for_each_offset(offsets, count, [&](std::size_t s) {
    const bool takes_then = !(condition[s] == 0.0);
    lists[front] = static_cast<std::uint32_t>(s);
    lists[back - 1] = static_cast<std::uint32_t>(s);
    front += takes_then ? 1 : 0;
    back -= takes_then ? 0 : 1;
  });
  return front;
}

TreeBlockProgram::TreeBlockProgram(const ExprTree& tree, std::span<const ArgSlot> slots,
                                   std::span<const SlotView> views, std::size_t n, const SubtreeSharing* sharing)
    : TreeBlockProgram(tree, make_slot_sources(slots, views, n), n, sharing) {}

TreeBlockProgram::TreeBlockProgram(const ExprTree& tree, std::vector<SlotSource> sources, std::size_t n,
                                   const SubtreeSharing* sharing)
    : nodes_(tree.nodes()),
      loops_(active_loops().tree),
      chain_loops_(active_loops().chains),
      sources_(std::move(sources)),
      right_first_(nodes_.size(), 0),
      n_(n) {
  constexpr std::uint32_t kNoRepeat = std::numeric_limits<std::uint32_t>::max();
  // Per node, the earliest Compute node that a Reuse node in its subtree
  // reads: an operand whose repeats read kept values from outside it must
  // not be evaluated before its left sibling, which may hold them.
  std::vector<std::uint32_t> earliest_read;
  if (sharing != nullptr) {
    check(sharing->roles.size() == nodes_.size() && sharing->partner.size() == nodes_.size(),
          "sharing of another tree");
    roles_ = sharing->roles;
    kept_block_.assign(nodes_.size(), 0);
    earliest_read.assign(nodes_.size(), kNoRepeat);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      if (roles_[i] == NodeRole::Compute) kept_block_[i] = static_cast<std::uint32_t>(kept_blocks_++);
      if (roles_[i] != NodeRole::Reuse) continue;
      const std::uint32_t kept = sharing->partner[i];
      check(kept < i && roles_[kept] == NodeRole::Compute && nodes_[kept] == nodes_[i],
            "a repeat reads a node that is not kept before it");
      kept_block_[i] = kept_block_[kept];
      earliest_read[i] = kept;
    }
  }

  // Children precede their parents in the array, so one forward pass sees
  // every child's needs before its parent's.
  std::vector<Need> needs(nodes_.size());
  for (std::size_t i = 0; i < nodes_.size(); ++i) {
    const ExprNode& node = nodes_[i];
    std::size_t child[3];
    const int children = child_indices(nodes_, i, child);
    if (role(i) == NodeRole::Reuse) {
      needs[i] = {0, 0, 0, 1};
      continue;
    }
    if (!earliest_read.empty()) {
      for (int k = 0; k < children; ++k) earliest_read[i] = std::min(earliest_read[i], earliest_read[child[k]]);
    }
    switch (node.tag) {
      case NodeTag::Const: needs[i] = {0, 0, 0, 1}; break;
      case NodeTag::ArgRef:
        check(node.payload < sources_.size(), "slot index beyond the slots");
        needs[i] = {0, 0, 0, 1};
        break;
      case NodeTag::Unary:
        dispatch_unary(node.unary_op(), [](auto) {});
        needs[i] = needs[child[0]];
        ++needs[i].frames;
        break;
      case NodeTag::Binary:
      case NodeTag::Compare: {
        if (node.tag == NodeTag::Binary) {
          dispatch_binary(node.binary_op(), [](auto) {});
        } else {
          dispatch_compare(node.compare_op(), [](auto) {});
        }
        // The operand evaluated second needs a temporary block unless it is
        // a leaf, which is read in place.
        const auto second_bytes = [&](std::size_t operand) -> std::uint64_t {
          return reads_in_place(operand) ? 0 : sizeof(double) + needs[operand].bytes;
        };
        const auto second_temps = [&](std::size_t operand) -> std::uint64_t {
          return reads_in_place(operand) ? 0 : 1 + needs[operand].temps;
        };
        const Need& left = needs[child[0]];
        const Need& right = needs[child[1]];
        const std::uint64_t left_first_bytes = std::max(left.bytes, second_bytes(child[1]));
        const std::uint64_t right_first_bytes = std::max(right.bytes, second_bytes(child[0]));
        const bool right_reads_outside =
            !earliest_read.empty() && earliest_read[child[1]] < child[1] + 1 - nodes_[child[1]].size;
        const bool right_first = right_first_bytes < left_first_bytes && !right_reads_outside;
        right_first_[i] = right_first ? 1 : 0;
        const std::uint64_t temps = right_first ? std::max(right.temps, second_temps(child[0]))
                                                : std::max(left.temps, second_temps(child[1]));
        needs[i] = {right_first ? right_first_bytes : left_first_bytes, temps, std::max(left.lists, right.lists),
                    1 + std::max(left.frames, right.frames)};
        break;
      }
      case NodeTag::Select: {
        const Need& cond = needs[child[0]];
        const Need& then_need = needs[child[1]];
        const Need& else_need = needs[child[2]];
        needs[i] = {std::max(cond.bytes, sizeof(std::uint32_t) + std::max(then_need.bytes, else_need.bytes)),
                    std::max({cond.temps, then_need.temps, else_need.temps}),
                    std::max(cond.lists, 1 + std::max(then_need.lists, else_need.lists)),
                    1 + std::max({cond.frames, then_need.frames, else_need.frames})};
        break;
      }
      default: fail("unknown node tag " + std::to_string(static_cast<int>(node.tag)));
    }
  }
  const Need& root = needs.back();
  temp_blocks_ = root.temps;
  list_blocks_ = root.lists;
  frame_depth_ = root.frames;
  const std::uint64_t per_element =
      (kept_blocks_ + temp_blocks_) * sizeof(double) + list_blocks_ * sizeof(std::uint32_t);
  // A tree that is one compare-select loop, which reads each element before
  // it writes it, keeps no values.
  one_loop_ = kept_blocks_ == 0 && nodes_.back().tag == NodeTag::Select && selects_in_one_loop(nodes_.size() - 1);
  // No longer than the whole range, as a flat program's blocks are.
  const std::size_t longest = one_loop_ ? n_ : block_length_for(per_element);
  block_length_ = std::clamp<std::size_t>(longest, 1, std::max<std::size_t>(n_, 1));
}

bool TreeBlockProgram::selects_in_one_loop(std::size_t select) const {
  std::size_t child[3];
  std::size_t compared[3];
  child_indices(nodes_, select, child);
  if (nodes_[child[0]].tag != NodeTag::Compare || role(child[0]) != NodeRole::Plain) return false;
  child_indices(nodes_, child[0], compared);
  // The loop walks the compared left operand's values: kept ones or a slot's.
  const ExprNode& left = nodes_[compared[0]];
  const bool left_values = role(compared[0]) == NodeRole::Reuse ||
                           (left.tag == NodeTag::ArgRef && sources_[left.payload].values != nullptr);
  return left_values && reads_in_place(compared[0]) && reads_in_place(compared[1]) && reads_in_place(child[1]) &&
         reads_in_place(child[2]);
}

void TreeBlockProgram::run(std::size_t begin, std::size_t end, double* out, TreeEvalObserver* observer) const {
  // One loop needs no workspace, unless the run reports node entries, which
  // walks the tree node by node.
  const bool one_loop = one_loop_ && observer == nullptr;
  const std::size_t workspace_length = one_loop ? 0 : block_length_;
  // Kept values start zeroed: a blend reads both branches at every element.
  Workspace workspace{std::make_unique<double[]>(kept_blocks_ * workspace_length),
                      std::make_unique_for_overwrite<double[]>(temp_blocks_ * workspace_length), 0,
                      std::make_unique_for_overwrite<std::uint32_t[]>(list_blocks_ * workspace_length), 0, {}};
  workspace.frames.reserve(frame_depth_);
  // A node's values are written into its parent's array while other nodes
  // still read the sources, so output that is a source's own memory gets
  // each block computed aside first.
  const bool out_is_a_source =
      !one_loop && std::any_of(sources_.begin(), sources_.end(), [&](const SlotSource& source) {
        return source.values != nullptr && source.values + begin == out;
      });
  const auto aside = std::make_unique_for_overwrite<double[]>(out_is_a_source ? block_length_ : 0);
  for_each_block(begin, end, n_, block_length_, out, [&](std::size_t start, std::size_t length, double* block_out) {
    if (!out_is_a_source) {
      run_block(start, length, block_out, workspace, observer);
      return;
    }
    run_block(start, length, aside.get(), workspace, observer);
    std::copy(aside.get(), aside.get() + length, block_out);
  });
}

bool TreeBlockProgram::reads_in_place(std::size_t node) const {
  return is_leaf(nodes_[node]) || role(node) == NodeRole::Reuse;
}

void TreeBlockProgram::run_block(std::size_t start, std::size_t length, double* out, Workspace& workspace,
                                 TreeEvalObserver* observer) const {
  std::vector<Frame>& frames = workspace.frames;
  const auto kept_values = [&](std::size_t node) { return workspace.kept.get() + kept_block_[node] * block_length_; };
  // Ends the top frame; a Compute node first keeps its values for its repeats.
  const auto finish = [&](const Frame& done) {
    if (role(done.node) == NodeRole::Compute) {
      double* const kept = kept_values(done.node);
      const double* const values = done.out;
      for_each_offset(done.offsets, done.count, [kept, values](std::size_t s) { kept[s] = values[s]; });
    }
    frames.pop_back();
  };
  // The values of a node read in place: a kept block, a constant or a slot.
  const auto in_place = [&](std::size_t node) -> SlotSource {
    if (role(node) == NodeRole::Reuse) return {kept_values(node), 0.0};
    if (nodes_[node].tag == NodeTag::Const) return {nullptr, nodes_[node].constant()};
    const SlotSource& source = sources_[nodes_[node].payload];
    return {source.values == nullptr ? nullptr : source.values + start, source.scalar};
  };
  frames.push_back(enter_frame(nodes_.size() - 1, nullptr, length, out));
  while (!frames.empty()) {
    // Every push below comes last in its case: `frame` is not used after it.
    Frame& frame = frames.back();
    const ExprNode& node = nodes_[frame.node];
    if (frame.stage == 0 && observer != nullptr) observer->enter(frame.node, start, frame.offsets, frame.count);
    if (role(frame.node) == NodeRole::Reuse) {
      double* const target = frame.out;
      const double* const kept = kept_values(frame.node);
      for_each_offset(frame.offsets, frame.count, [target, kept](std::size_t s) { target[s] = kept[s]; });
      frames.pop_back();
      continue;
    }
    std::size_t child[3];
    child_indices(nodes_, frame.node, child);
    switch (node.tag) {
      case NodeTag::Const:
        fill(frame, node.constant());
        frames.pop_back();
        break;
      case NodeTag::ArgRef: {
        const SlotSource& source = sources_[node.payload];
        if (source.values == nullptr) {
          fill(frame, source.scalar);
        } else {
          double* const target = frame.out;
          const double* const values = source.values + start;
          for_each_offset(frame.offsets, frame.count, [target, values](std::size_t s) { target[s] = values[s]; });
        }
        frames.pop_back();
        break;
      }
      case NodeTag::Unary:
        if (frame.stage == 0) {
          frame.stage = 1;
          frames.push_back(enter_frame(child[0], frame.offsets, frame.count, frame.out));
        } else {
          loops_->unary[node.op](frame.out, frame.offsets, frame.count);
          finish(frame);
        }
        break;
      case NodeTag::Binary:
      case NodeTag::Compare: {
        const bool right_first = right_first_[frame.node] != 0;
        if (frame.stage == 0) {
          frame.stage = 1;
          frames.push_back(enter_frame(child[right_first ? 1 : 0], frame.offsets, frame.count, frame.out));
        } else if (frame.stage == 1) {
          frame.stage = 2;
          const std::size_t second = child[right_first ? 0 : 1];
          if (reads_in_place(second)) {
            if (observer != nullptr) observer->enter(second, start, frame.offsets, frame.count);
            const SlotSource operand = in_place(second);
            frame.second = operand.values;
            frame.second_scalar = operand.scalar;
            break;
          }
          check(workspace.temps_used < temp_blocks_, "tree plan reserved too few temporaries");
          double* const temp = workspace.temps.get() + workspace.temps_used++ * block_length_;
          frame.second = temp;
          frame.owns_temp = true;
          frames.push_back(enter_frame(second, frame.offsets, frame.count, temp));
        } else {
          const TreeLoops::Combine combine =
              node.tag == NodeTag::Binary ? loops_->binary[node.op] : loops_->compare[node.op];
          combine(frame.out, frame.offsets, frame.count, frame.second, frame.second_scalar, right_first);
          if (frame.owns_temp) --workspace.temps_used;
          finish(frame);
        }
        break;
      }
      case NodeTag::Select:
        if (frame.stage == 0 && observer == nullptr && selects_in_one_loop(frame.node)) {
          std::size_t compared[3];
          child_indices(nodes_, child[0], compared);
          const SlotSource left = in_place(compared[0]), right = in_place(compared[1]);
          const SlotSource then = in_place(child[1]), other = in_place(child[2]);
          chain_loops_->compare_selects[ChainLoops::compare_select_index(
              static_cast<CompareOp>(nodes_[child[0]].op), right.values == nullptr, then.values == nullptr,
              other.values == nullptr)](frame.out, frame.offsets, frame.count, left, right, then, other);
          finish(frame);
          break;
        }
        if (frame.stage == 0) {
          // The condition's values go into `out` itself: the branches then
          // overwrite exactly the places they were read from.
          frame.stage = 1;
          frames.push_back(enter_frame(child[0], frame.offsets, frame.count, frame.out));
        } else if (frame.stage == 1) {
          // Branches read in place need no split: one blend takes each
          // element's value from its branch. A run that reports node entries
          // splits, so that each branch is entered for its own elements.
          if (observer == nullptr && reads_in_place(child[1]) && reads_in_place(child[2])) {
            const SlotSource then = in_place(child[1]);
            const SlotSource other = in_place(child[2]);
            chain_loops_->selects[ChainLoops::select_index(then.values == nullptr, other.values == nullptr)](
                frame.out, frame.offsets, frame.count, then, other);
            finish(frame);
            break;
          }
          check(workspace.lists_used + frame.count <= list_blocks_ * block_length_,
                "tree plan reserved too few element lists");
          std::uint32_t* const lists = workspace.lists.get() + workspace.lists_used;
          const std::size_t then_count = partition_by_condition(frame.out, frame.offsets, frame.count, lists);
          if ((then_count == frame.count || then_count == 0) && role(frame.node) != NodeRole::Compute) {
            // One branch takes every element: it replaces the Select's frame
            // and keeps its element set. A kept Select stays, to keep its
            // values when the branch is done.
            frame = enter_frame(child[then_count == 0 ? 2 : 1], frame.offsets, frame.count, frame.out);
            break;
          }
          workspace.lists_used += frame.count;
          frame.lists = lists;
          frame.then_count = then_count;
          frame.stage = 2;
          if (then_count > 0) frames.push_back(enter_frame(child[1], lists, then_count, frame.out));
        } else if (frame.stage == 2) {
          frame.stage = 3;
          if (frame.count > frame.then_count) {
            frames.push_back(
                enter_frame(child[2], frame.lists + frame.then_count, frame.count - frame.then_count, frame.out));
          }
        } else {
          workspace.lists_used -= frame.count;
          finish(frame);
        }
        break;
    }
  }
}

}  // namespace bmx
