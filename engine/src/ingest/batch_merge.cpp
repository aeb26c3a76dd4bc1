#include "ingest/batch_merge.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "core/error.h"

namespace quib::ingest {
namespace {

// Names with at most this many cells are walked whole when their counts are added. Above it, a
// batch that hits a key with a few rows touches a few cells, and listing them beats walking a
// histogram of twenty bins.
constexpr std::uint64_t kNarrowCells = 8;

// Bytes are a key's only form when no dimension name repeats: with a repeated name, bytes that
// differ in the overridden value make the same key.
bool key_bytes_are_canonical(std::span<const ResolvePlan::Dimension> dimensions) {
  std::vector<std::string_view> names;
  for (const auto& dimension : dimensions) names.push_back(dimension.name);
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) == names.end();
}

// Runs `undo` when destroyed before `dismiss`: the rollback of a change that a later step of the
// same operation failed to complete.
template <typename Undo>
class UndoOnFailure {
 public:
  explicit UndoOnFailure(Undo undo) : undo_(std::move(undo)) {}
  UndoOnFailure(const UndoOnFailure&) = delete;
  UndoOnFailure& operator=(const UndoOnFailure&) = delete;
  ~UndoOnFailure() {
    if (armed_) undo_();
  }
  void dismiss() { armed_ = false; }

 private:
  Undo undo_;
  bool armed_ = true;
};

// Room for one more element, growing geometrically, so that the push that follows cannot fail.
template <typename T>
void reserve_one_more(std::vector<T>& items) {
  if (items.size() == items.capacity()) items.reserve(std::max<std::size_t>(16, 2 * items.size()));
}

}  // namespace

void CellCounter::add(std::uint64_t cell, std::uint64_t extent) {
  if (cell < dense_.size()) {
    ++dense_[cell];
    dense_hit_ = true;
    return;
  }
  for (std::size_t i = 0; i < small_size_; ++i) {
    if (small_[i].first == cell) {
      ++small_[i].second;
      return;
    }
  }
  for (auto& [c, n] : overflow_) {
    if (c == cell) {
      ++n;
      return;
    }
  }
  if (small_size_ < small_.size()) {
    small_[small_size_++] = {cell, 1};
    return;
  }
  overflow_.emplace_back(cell, 1);
  const std::size_t distinct = small_size_ + overflow_.size();
  if (dense_.empty() && extent <= 64 * distinct) to_dense(extent);
}

void CellCounter::clear() {
  if (dense_hit_) std::fill(dense_.begin(), dense_.end(), 0);
  dense_hit_ = false;
  small_size_ = 0;
  overflow_.clear();
}

void CellCounter::to_dense(std::uint64_t extent) {
  // Built aside and swapped in, so that an allocation failure leaves the counts as they were.
  std::vector<std::uint64_t> dense(extent, 0);
  std::vector<std::pair<std::uint64_t, std::uint64_t>> rest;
  bool hit = false;
  auto move_cell = [&](std::uint64_t c, std::uint64_t n) {
    if (c < extent) {
      dense[c] += n;
      hit = true;
    } else {
      rest.emplace_back(c, n);
    }
  };
  for (std::size_t i = 0; i < small_size_; ++i) move_cell(small_[i].first, small_[i].second);
  for (const auto& [c, n] : overflow_) move_cell(c, n);
  // Cells outside the extent (none in practice) stay listed.
  small_size_ = 0;
  for (const auto& [c, n] : rest) {
    if (small_size_ < small_.size()) small_[small_size_++] = {c, n};
  }
  rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(small_size_));
  overflow_.swap(rest);
  dense_.swap(dense);
  dense_hit_ = hit;
}

// A stored schema can ask for more cells than could ever be allocated (the bins of a variable are
// a u32): such a definition is refused before any row is counted or logged, rather than tried.
void BatchMerge::refuse_beyond_reach(const ResolvePlan::Variable& variable) {
  if (variable.cells <= core::kMaxCountedCells) return;
  const char* unit = variable.kind == ResolvePlan::Kind::Continuous ? " bins" : " categories";
  throw Error("variable '" + std::string(variable.name) + "' has " +
              std::to_string(variable.cells) + unit + "; at most " +
              std::to_string(core::kMaxCountedCells) + " can be counted");
}

void BatchMerge::refuse_beyond_reach(const ResolvePlan::Joint& joint) {
  if (joint.a_variable < 0 || joint.b_variable < 0) return;
  const auto variables = plan_.variables();
  const auto& a = variables[static_cast<std::size_t>(joint.a_variable)];
  const auto& b = variables[static_cast<std::size_t>(joint.b_variable)];
  if (a.kind == ResolvePlan::Kind::Inert || b.kind == ResolvePlan::Kind::Inert) return;
  const std::uint64_t first = joint.first_cells;
  const std::uint64_t second = joint.second_cells;
  if (first == 0 || second <= core::kMaxCountedCells / first) return;
  throw Error("joint of '" + std::string(joint.a) + "' and '" + std::string(joint.b) + "' has " +
              std::to_string(first) + " by " + std::to_string(second) + " cells; at most " +
              std::to_string(core::kMaxCountedCells) + " can be counted");
}

BatchMerge::BatchMerge(const ResolvePlan& plan, std::size_t shards)
    : plan_(plan),
      shards_(key_bytes_are_canonical(plan.dimensions()) ? std::max<std::size_t>(shards, 1) : 1) {
  // Counts are kept per variable name; a name defined twice (possible only in a stored schema)
  // shares one delta, as the database keeps one distribution per name and key. Only the first
  // definition of a name gives deltas, so it fixes the form of the name's counts.
  std::unordered_map<std::string_view, std::size_t> by_name;
  for (const auto& variable : plan.variables()) {
    auto [it, added] = by_name.emplace(variable.name, names_.size());
    if (added) {
      names_.push_back(variable.name);
      extents_.push_back(0);
      categorical_.push_back(variable.kind == ResolvePlan::Kind::Categorical);
      wide_.push_back(false);
    }
    counts_of_variable_.push_back(it->second);
    // A variable that gives no deltas needs no counters, however many bins it names.
    if (variable.kind == ResolvePlan::Kind::Inert) continue;
    refuse_beyond_reach(variable);
    extents_[it->second] = std::max(extents_[it->second], variable.cells);
  }
  for (const auto& joint : plan.joints()) refuse_beyond_reach(joint);
  for (std::size_t c = 0; c < names_.size(); ++c) {
    offsets_.push_back(counters_);
    counters_ += 2 + static_cast<std::size_t>(extents_[c]);
    wide_[c] = extents_[c] > kNarrowCells;
  }
  for (const std::size_t c : counts_of_variable_) {
    counters_of_variable_.push_back(VariableCounter{offsets_[c], extents_[c] + 1, wide_[c]});
  }
}

BatchMerge::GroupRef BatchMerge::group_of(std::string_view key_bytes, std::size_t hash) {
  const auto shard_index = static_cast<std::uint32_t>(shard_of(hash));
  Shard& shard = shards_[shard_index];
  if (auto it = shard.group_by_bytes.find(KeyRef{key_bytes, hash});
      it != shard.group_by_bytes.end()) {
    return GroupRef{shard_index, it->second};
  }
  // New key bytes: find their key. Different bytes can make one key (a name repeated in a stored
  // schema keeps its last value), so groups are per key, not per bytes. A new group is built
  // whole before any container changes, and the changes are undone when a later one fails (an
  // allocation, mostly), so a failure leaves no half-made group behind.
  core::DimensionKey key = core::dimension_key_from_pairs(plan_.key_pairs(key_bytes));
  auto found_key = shard.group_by_key.find(key);
  const bool new_group = found_key == shard.group_by_key.end();
  const std::uint32_t group_index =
      new_group ? static_cast<std::uint32_t>(shard.groups.size()) : found_key->second;
  std::optional<KeyGroup> made;
  if (new_group) {
    made.emplace();
    made->key = key;
    made->counts.assign(2 * counters_, 0);
    made->wide.resize(names_.size());
    made->joints.resize(plan_.joints().size());
    made->slots.resize(names_.size());
    reserve_one_more(shard.states);
  }
  const std::string& bytes = shard.key_bytes.emplace_back(key_bytes);
  UndoOnFailure forget_bytes([&] { shard.key_bytes.pop_back(); });
  shard.group_by_bytes.emplace(KeyRef{bytes, hash}, group_index);
  UndoOnFailure forget_ref([&] { shard.group_by_bytes.erase(KeyRef{bytes, hash}); });
  if (new_group) {
    const auto key_it = shard.group_by_key.emplace(std::move(key), group_index).first;
    UndoOnFailure forget_key([&] { shard.group_by_key.erase(key_it); });
    shard.groups.push_back(std::move(*made));
    forget_key.dismiss();
    shard.states.push_back(GroupState{shard.groups.back().counts.data()});  // room reserved
  }
  forget_ref.dismiss();
  forget_bytes.dismiss();
  return GroupRef{shard_index, group_index};
}

void BatchMerge::count(GroupRef group_ref, std::uint64_t row, const std::uint64_t* codes,
                       const JointCell* cells) {
  Shard& shard = shards_[group_ref.shard];
  const std::uint32_t group_index = group_ref.index;
  GroupState& state = shard.states[group_index];
  if (state.listed_in != batch_) {
    reserve_one_more(shard.batch_groups);
    if (state.carry_owed) carry_over(shard, group_index);
    state.listed_in = batch_;
    shard.batch_groups.emplace_back(row, group_index);  // room reserved: cannot fail
  }
  std::uint64_t* const counts = state.counts;
  for (std::size_t v = 0; v < counters_of_variable_.size(); ++v) {
    const std::uint64_t code = codes[v];
    if (code == ResolvePlan::kNoDelta) continue;
    const VariableCounter& counter = counters_of_variable_[v];
    // Index 0 of a name is its flag, 1 the unknown bucket, 2 + i cell i.
    const std::uint64_t index = code == ResolvePlan::kUnknown ? 1 : code + 2;
    if (index > counter.limit) throw InternalError("a resolved code outside its variable");
    std::uint64_t* name = counts + counter.offset;
    if (name[0] == 0) {
      name[0] = 1;
      ++state.names_counted;
    }
    if (++name[index] == 1 && counter.wide) {
      WideCells& wide = shard.groups[group_index].wide[counts_of_variable_[v]];
      if (wide.listed < wide.cells.size()) {
        wide.cells[wide.listed++] = static_cast<std::uint32_t>(index);
      } else {
        wide.listed = WideCells::kManyCells;
      }
    }
  }
  if (plan_.joints().empty()) return;
  KeyGroup& group = shard.groups[group_index];
  const auto joints = plan_.joints();
  for (std::size_t j = 0; j < joints.size(); ++j) {
    if (cells[j].first == ResolvePlan::kNoCell) continue;
    const auto& joint = joints[j];
    group.joints[j].add(cells[j].first * joint.second_cells + cells[j].second,
                        joint.first_cells * joint.second_cells);
  }
}

std::uint64_t BatchMerge::commit(storage::Database& db) {
  const auto joints = plan_.joints();
  // Step 1: every lookup that can fail.
  std::size_t singles_found = 0;
  std::size_t joints_found = 0;
  bool all_singles_found = false;
  const storage::Database::Mark before = db.mark();
  try {
    order_batch_groups();
    for (const GroupRef g : batch_groups_) {
      GroupState& state = shards_[g.shard].states[g.index];
      if (state.names_placed == names_.size()) {
        singles_found += state.names_counted;
        continue;
      }
      KeyGroup& group = group_at(g);
      for (std::size_t c = 0; c < names_.size(); ++c) {
        if (!counted(group, c)) continue;
        Slot& slot = group.slots[c];
        if (slot.position == kNoPosition) {
          slot.position = db.ensure_distribution_position(names_[c], group.key);
          ++state.names_placed;
        }
        ++singles_found;
      }
    }
    all_singles_found = true;
    for (const GroupRef g : batch_groups_) {
      const KeyGroup& group = group_at(g);
      for (std::size_t j = 0; j < joints.size(); ++j) {
        if (group.joints[j].empty()) continue;
        db.ensure_joint_distribution(joints[j].a, joints[j].b, group.key);
        ++joints_found;
      }
    }
  } catch (const std::bad_alloc&) {
    // Out of memory while creating distributions: the batch leaves nothing behind, not even
    // the distributions it created before.
    db.rollback(before);
    for (const GroupRef g : batch_groups_) {
      for (Slot& slot : group_at(g).slots) {
        if (slot.position != kNoPosition && slot.position >= before.distributions) {
          slot.position = kNoPosition;
          --shards_[g.shard].states[g.index].names_placed;
        }
      }
    }
    settle(db);
    end_batch();
    throw;
  } catch (...) {
    settle(db);
    add_failed_batch(db, singles_found, all_singles_found ? joints_found : 0);
    end_batch();
    throw;
  }
  // Steps 2 and 3: joint cells now, the rest owed. The batch counters become owed where they
  // are: the group's next count, or `settle`, carries them over.
  add_joints(db, joints_found);
  const std::uint64_t now = core::unix_now();
  std::uint64_t touched = 0;
  for (const GroupRef g : batch_groups_) {
    GroupState& state = shards_[g.shard].states[g.index];
    state.carry_owed = true;
    state.committed_at = now;
    touched += state.names_counted;
    if (!joints.empty()) {
      for (CellCounter& cells : group_at(g).joints) cells.clear();
    }
  }
  for (Shard& shard : shards_) shard.batch_groups.clear();
  batch_groups_.clear();
  ++batch_;
  return touched;
}

void BatchMerge::order_batch_groups() {
  std::size_t groups = 0;
  for (const Shard& shard : shards_) groups += shard.batch_groups.size();
  order_.clear();
  order_.reserve(groups);
  batch_groups_.clear();
  batch_groups_.reserve(groups);
  for (std::uint32_t s = 0; s < shards_.size(); ++s) {
    for (const auto& [row, index] : shards_[s].batch_groups) {
      order_.push_back({row, GroupRef{s, index}});
    }
  }
  // Each shard lists its groups in row order already; with one shard there is nothing to sort.
  if (shards_.size() > 1) {
    std::sort(order_.begin(), order_.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
  }
  for (const auto& entry : order_) batch_groups_.push_back(entry.second);
}

template <typename Fn>
void BatchMerge::for_each_count(const KeyGroup& group, std::size_t c, Fn&& fn) const {
  const std::uint64_t* name = group.counts.data() + offsets_[c];
  const WideCells& wide = group.wide[c];
  if (wide_[c] && wide.listed != WideCells::kManyCells) {
    for (std::size_t k = 0; k < wide.listed; ++k) fn(wide.cells[k] - 1, name[wide.cells[k]]);
    return;
  }
  for (std::size_t index = 1; index < extents_[c] + 2; ++index) {
    if (name[index] != 0) fn(index - 1, name[index]);
  }
}

void BatchMerge::carry_over(Shard& shard, std::uint32_t group_index) {
  KeyGroup& group = shard.groups[group_index];
  GroupState& state = shard.states[group_index];
  for (std::size_t c = 0; c < names_.size(); ++c) {
    if (!counted(group, c)) continue;
    Slot& slot = group.slots[c];
    ++slot.batches_owed;
    slot.last_time = state.committed_at;
    std::uint64_t* batch = group.counts.data() + offsets_[c];
    std::uint64_t* owed = batch + counters_;
    WideCells& wide = group.wide[c];
    if (wide_[c] && wide.listed != WideCells::kManyCells) {
      for (std::size_t k = 0; k < wide.listed; ++k) {
        owed[wide.cells[k]] += batch[wide.cells[k]];
        batch[wide.cells[k]] = 0;
      }
    } else {
      // Bounds and pointers held in locals, so that the two loops vectorise.
      const std::size_t cells = static_cast<std::size_t>(extents_[c]) + 1;
      std::uint64_t* const to = owed + 1;
      const std::uint64_t* const from = batch + 1;
      for (std::size_t i = 0; i < cells; ++i) to[i] += from[i];
      std::fill(batch + 1, batch + 1 + cells, 0);
    }
    batch[0] = 0;
    if (wide_[c]) wide = WideCells{};
  }
  state.names_counted = 0;
  state.carry_owed = false;
}

// Counts reach a distribution as the database adds a count delta: a cell outside the
// distribution still counts in its total, and counts of the other form change nothing.
void BatchMerge::add_to_distribution(storage::Database& db, const KeyGroup& group,
                                     std::size_t c, const std::uint64_t* from, bool listed_only) {
  core::DistributionRepr& repr = db.distribution_at(group.slots[c].position).repr;
  auto each = [&](auto&& fn) {
    if (listed_only) {
      for_each_count(group, c, fn);
      return;
    }
    for (std::size_t index = 1; index < extents_[c] + 2; ++index) {
      if (from[index] != 0) fn(index - 1, from[index]);
    }
  };
  if (auto* stored = repr.get_if<core::DistributionRepr::Categorical>()) {
    if (!categorical_[c]) return;
    each([&](std::size_t index, std::uint64_t n) {
      if (index == 0) {
        stored->unknown_count = core::saturating_add(stored->unknown_count, n);
      } else if (index - 1 < stored->counts.size()) {
        stored->counts[index - 1] = core::saturating_add(stored->counts[index - 1], n);
      }
      stored->total_count = core::saturating_add(stored->total_count, n);
    });
  } else if (auto* stored = repr.get_if<core::DistributionRepr::Histogram>()) {
    if (categorical_[c]) return;
    each([&](std::size_t index, std::uint64_t n) {
      if (index != 0 && index - 1 < stored->bin_counts.size()) {
        stored->bin_counts[index - 1] = core::saturating_add(stored->bin_counts[index - 1], n);
      }
      stored->total_count = core::saturating_add(stored->total_count, n);
    });
  }
}

void BatchMerge::add_failed_batch(storage::Database& db, std::size_t singles, std::size_t joints) {
  for (const GroupRef g : batch_groups_) {
    const KeyGroup& group = group_at(g);
    for (std::size_t c = 0; c < names_.size() && singles > 0; ++c) {
      if (!counted(group, c)) continue;
      --singles;
      add_to_distribution(db, group, c, group.counts.data() + offsets_[c], true);
    }
  }
  add_joints(db, joints);
}

void BatchMerge::add_joints(storage::Database& db, std::size_t joints_wanted) {
  const auto joints = plan_.joints();
  for (const GroupRef g : batch_groups_) {
    const KeyGroup& group = group_at(g);
    for (std::size_t j = 0; j < joints.size() && joints_wanted > 0; ++j) {
      if (group.joints[j].empty()) continue;
      --joints_wanted;
      const auto& joint = joints[j];
      core::JointDistributionObject* stored =
          db.get_joint_distribution_mut(joint.a, joint.b, group.key);
      if (stored == nullptr || joint.second_cells == 0) continue;
      group.joints[j].for_each([&](std::uint64_t cell, std::uint64_t n) {
        stored->add_to_cell(cell / joint.second_cells, cell % joint.second_cells, n);
      });
    }
  }
}

// The batch's counts are dropped; the groups of every shard are walked, as the ordered list may
// not have been made.
void BatchMerge::end_batch() {
  for (Shard& shard : shards_) {
    for (const auto& entry : shard.batch_groups) {
      KeyGroup& group = shard.groups[entry.second];
      for (std::size_t c = 0; c < names_.size(); ++c) {
        if (!counted(group, c)) continue;
        std::uint64_t* name = group.counts.data() + offsets_[c];
        std::fill(name, name + extents_[c] + 2, 0);
        if (wide_[c]) group.wide[c] = WideCells{};
      }
      for (CellCounter& cells : group.joints) cells.clear();
      shard.states[entry.second].names_counted = 0;
    }
    shard.batch_groups.clear();
  }
  batch_groups_.clear();
  ++batch_;
}

void BatchMerge::settle(storage::Database& db) {
  for (Shard& shard : shards_) {
    for (std::uint32_t g = 0; g < shard.groups.size(); ++g) {
      if (shard.states[g].carry_owed) carry_over(shard, g);
      KeyGroup& group = shard.groups[g];
      for (std::size_t c = 0; c < names_.size(); ++c) {
        Slot& slot = group.slots[c];
        if (slot.batches_owed == 0) continue;
        std::uint64_t* owed = group.counts.data() + counters_ + offsets_[c];
        add_to_distribution(db, group, c, owed, false);
        std::fill(owed, owed + extents_[c] + 2, 0);
        db.finalize_distribution_at(slot.position, slot.last_time, slot.batches_owed);
        slot.batches_owed = 0;
      }
    }
  }
}

}  // namespace quib::ingest
