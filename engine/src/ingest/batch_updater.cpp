#include "ingest/batch_updater.h"

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <string_view>
#include <unordered_map>

#include "ingest/worker_pool.h"

namespace quib::ingest {
namespace {

// Rows resolved per parallel step; bounds the memory of one step whatever the batch size.
constexpr std::size_t kBlockRows = 32768;
// Fewest rows worth a chunk of their own on the pool.
constexpr std::size_t kRowsPerChunk = 64;

// Counts per cell of one (variable or joint pair, key) over a batch: a short list while few
// cells are hit, a dense array once the hits justify its size. The dense form is taken only when
// it is at most 64 counters per distinct cell seen, so a batch of rows that each open a new key
// never allocates whole histograms.
class CellCounter {
 public:
  void add(std::uint64_t cell, std::uint64_t extent) {
    if (cell < dense_.size()) {
      ++dense_[cell];
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

  bool empty() const { return small_size_ == 0 && dense_.empty(); }

  template <typename Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t c = 0; c < dense_.size(); ++c) {
      if (dense_[c] != 0) fn(static_cast<std::uint64_t>(c), dense_[c]);
    }
    for (std::size_t i = 0; i < small_size_; ++i) fn(small_[i].first, small_[i].second);
    for (const auto& [c, n] : overflow_) fn(c, n);
  }

 private:
  void to_dense(std::uint64_t extent) {
    dense_.assign(extent, 0);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rest;
    auto move_cell = [&](std::uint64_t c, std::uint64_t n) {
      if (c < extent) {
        dense_[c] += n;
      } else {
        rest.emplace_back(c, n);
      }
    };
    for (std::size_t i = 0; i < small_size_; ++i) move_cell(small_[i].first, small_[i].second);
    for (const auto& [c, n] : overflow_) move_cell(c, n);
    // Cells outside the extent (none in practice) stay listed.
    small_size_ = 0;
    for (const auto& [c, n] : rest) {
      if (small_size_ < small_.size()) {
        small_[small_size_++] = {c, n};
      }
    }
    overflow_.assign(rest.begin() + static_cast<std::ptrdiff_t>(small_size_), rest.end());
  }

  // The first cells live inline, so a key that few rows hit costs no allocation.
  std::array<std::pair<std::uint64_t, std::uint64_t>, 4> small_{};
  std::size_t small_size_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> overflow_;
  std::vector<std::uint64_t> dense_;
};

// The count delta of one (variable name, key) while the batch is walked; its form is fixed by the
// first delta, and a later delta of the other form is not counted.
struct VariableCounts {
  enum class Form : std::uint8_t { None, Categorical, Histogram };
  Form form = Form::None;
  CellCounter cells;
  std::uint64_t unknown = 0;
};

// The cell counts of one (joint pair as listed, key) while the batch is walked.
struct JointDelta {
  CellCounter cells;
};

// Key bytes with their hash, computed on the worker that built them.
struct KeyRef {
  std::string_view bytes;
  std::size_t hash = 0;
  bool operator==(const KeyRef& other) const { return bytes == other.bytes; }
};
struct KeyRefHash {
  std::size_t operator()(const KeyRef& key) const noexcept { return key.hash; }
};

// The output of the parallel step for one block of rows.
struct ResolvedBlock {
  struct RowResult {
    bool resolved = false;
    std::uint32_t chunk = 0;
    std::size_t key_offset = 0;
    std::size_t key_length = 0;
    std::size_t key_hash = 0;
  };
  std::vector<RowResult> rows;
  std::vector<std::string> chunk_keys;  // key bytes, one buffer per chunk
  std::vector<std::uint64_t> codes;     // rows x variables
  std::vector<JointCell> cells;         // rows x joints
  std::vector<core::json::Value> payloads;  // raw-log payload per row, when the log is on

  std::string_view key_of(const RowResult& row) const {
    return std::string_view(chunk_keys[row.chunk]).substr(row.key_offset, row.key_length);
  }
};

core::json::Value payload_of(const MappedRow& row) {
  core::json::Object object;
  for (const MappedVariable& variable : row.variables) {
    object.emplace_hint(object.end(), std::string(variable.name), *variable.value);
  }
  return core::json::Value(std::move(object));
}

void resolve_block(const ResolvePlan& plan, std::span<const MappedRow> rows, bool with_payloads,
                   ResolvedBlock& block) {
  const std::size_t n = rows.size();
  const std::size_t variables = plan.variables().size();
  const std::size_t joints = plan.joints().size();
  block.rows.assign(n, {});
  block.codes.resize(n * variables);
  block.cells.resize(n * joints);
  block.payloads.clear();
  if (with_payloads) block.payloads.resize(n);
  const std::size_t chunks =
      std::clamp<std::size_t>(n / kRowsPerChunk, 1, worker_pool::concurrency() * 4);
  block.chunk_keys.resize(std::max(block.chunk_keys.size(), chunks));
  worker_pool::for_each_chunk(n, chunks, [&](std::size_t chunk, std::size_t begin,
                                             std::size_t end) {
    std::string& keys = block.chunk_keys[chunk];
    keys.clear();
    keys.reserve((end - begin) * 8 * plan.dimensions().size());
    for (std::size_t i = begin; i < end; ++i) {
      auto& result = block.rows[i];
      const std::size_t offset = keys.size();
      result.resolved =
          plan.resolve(rows[i], keys, std::span(block.codes).subspan(i * variables, variables),
                       std::span(block.cells).subspan(i * joints, joints));
      if (!result.resolved) continue;
      result.chunk = static_cast<std::uint32_t>(chunk);
      result.key_offset = offset;
      result.key_length = keys.size() - offset;
      result.key_hash = std::hash<std::string_view>{}(std::string_view(keys).substr(offset));
      if (with_payloads) block.payloads[i] = payload_of(rows[i]);
    }
  });
}

// Frees the payloads on the workers that mostly allocated them, sparing the calling thread.
void release_in_parallel(std::vector<core::json::Value>& payloads) {
  worker_pool::for_each_chunk(payloads.size(), worker_pool::concurrency(),
                              [&](std::size_t, std::size_t begin, std::size_t end) {
                                for (std::size_t i = begin; i < end; ++i) payloads[i] = {};
                              });
  payloads.clear();
}

// The serial half: gathers resolved rows into per-key counts, then hands them to the database.
class BatchMerge {
 public:
  explicit BatchMerge(const ResolvePlan& plan) : plan_(plan) {
    // Counts are kept per variable name; a name defined twice (possible only in a stored schema)
    // shares one delta, as the database keeps one distribution per name and key.
    std::unordered_map<std::string_view, std::size_t> by_name;
    for (const auto& variable : plan.variables()) {
      auto [it, added] = by_name.emplace(variable.name, names_.size());
      if (added) {
        names_.push_back(variable.name);
        extents_.push_back(0);
      }
      counts_of_variable_.push_back(it->second);
      extents_[it->second] = std::max(extents_[it->second], variable.cells);
    }
  }

  // Walks one block in row order; the payloads of the counted rows go to `payloads` in order.
  void add(ResolvedBlock& block, BatchStats& stats, std::vector<core::json::Value>& payloads) {
    const auto variables = plan_.variables();
    const auto joints = plan_.joints();
    for (std::size_t i = 0; i < block.rows.size(); ++i) {
      const auto& row = block.rows[i];
      if (!row.resolved) {
        ++stats.skipped;
        continue;
      }
      KeyGroup& group = group_of(KeyRef{block.key_of(row), row.key_hash});
      const std::uint64_t* codes = block.codes.data() + i * variables.size();
      for (std::size_t v = 0; v < variables.size(); ++v) {
        if (codes[v] == ResolvePlan::kNoDelta) continue;
        count(group, v, codes[v]);
      }
      const JointCell* cells = block.cells.data() + i * joints.size();
      for (std::size_t j = 0; j < joints.size(); ++j) {
        if (cells[j].first == ResolvePlan::kNoCell) continue;
        const auto& joint = joints[j];
        group.joints[j].cells.add(cells[j].first * joint.second_cells + cells[j].second,
                                  joint.first_cells * joint.second_cells);
      }
      if (!block.payloads.empty()) payloads.push_back(std::move(block.payloads[i]));
      ++stats.processed;
    }
  }

  // Increments, then joint cells, then finalisation; the first error ends the call.
  void apply(storage::Database& db, BatchStats& stats) {
    std::vector<std::pair<std::string_view, const core::DimensionKey*>> touched;
    for (const KeyGroup& group : groups_) {
      for (std::size_t c = 0; c < names_.size(); ++c) {
        const VariableCounts& counts = group.variables[c];
        if (counts.form == VariableCounts::Form::None) continue;
        db.increment_distribution(names_[c], *group.key, delta_of(counts));
        touched.emplace_back(names_[c], group.key);
      }
    }
    const auto joints = plan_.joints();
    for (const KeyGroup& group : groups_) {
      for (std::size_t j = 0; j < joints.size(); ++j) {
        if (group.joints[j].cells.empty()) continue;
        const auto& joint = joints[j];
        db.ensure_joint_distribution(joint.a, joint.b, *group.key);
        core::JointDistributionObject* stored =
            db.get_joint_distribution_mut(joint.a, joint.b, *group.key);
        if (stored == nullptr || joint.second_cells == 0) continue;
        group.joints[j].cells.for_each([&](std::uint64_t cell, std::uint64_t n) {
          stored->add_to_cell(cell / joint.second_cells, cell % joint.second_cells, n);
        });
      }
    }
    const std::uint64_t now = core::unix_now();
    for (const auto& [name, key] : touched) db.finalize_distribution(name, *key, now);
    stats.distributions_updated = touched.size();
  }

 private:
  // The counts of one dimension key.
  struct KeyGroup {
    const core::DimensionKey* key = nullptr;
    std::vector<VariableCounts> variables;  // one per variable name
    std::vector<JointDelta> joints;         // one per schema joint pair
  };

  KeyGroup& group_of(const KeyRef& ref) {
    if (auto it = group_by_bytes_.find(ref); it != group_by_bytes_.end()) {
      return groups_[it->second];
    }
    // New key bytes: keep them, and find their key. Different bytes can make one key (a name
    // repeated in a stored schema keeps its last value), so groups are per key, not per bytes.
    const std::string& bytes = key_bytes_.emplace_back(ref.bytes);
    auto [key_it, added] = group_by_key_.try_emplace(
        core::dimension_key_from_pairs(plan_.key_pairs(bytes)), groups_.size());
    if (added) {
      KeyGroup group;
      group.key = &key_it->first;
      group.variables.resize(names_.size());
      group.joints.resize(plan_.joints().size());
      groups_.push_back(std::move(group));
    }
    group_by_bytes_.emplace(KeyRef{bytes, ref.hash}, key_it->second);
    return groups_[key_it->second];
  }

  void count(KeyGroup& group, std::size_t variable, std::uint64_t code) {
    const std::size_t c = counts_of_variable_[variable];
    VariableCounts& counts = group.variables[c];
    const bool categorical = plan_.variables()[variable].kind == ResolvePlan::Kind::Categorical;
    const auto form =
        categorical ? VariableCounts::Form::Categorical : VariableCounts::Form::Histogram;
    if (counts.form == VariableCounts::Form::None) counts.form = form;
    if (counts.form != form) return;
    if (code == ResolvePlan::kUnknown) {
      ++counts.unknown;
    } else {
      counts.cells.add(code, extents_[c]);
    }
  }

  static CountDelta delta_of(const VariableCounts& counts) {
    if (counts.form == VariableCounts::Form::Histogram) {
      CountDelta::Histogram histogram;
      counts.cells.for_each([&](std::uint64_t bin, std::uint64_t n) { histogram.counts[bin] += n; });
      return CountDelta{std::move(histogram)};
    }
    CountDelta::Categorical categorical;
    counts.cells.for_each([&](std::uint64_t position, std::uint64_t n) {
      categorical.counts[SingleDelta{SingleDelta::Category{position}}] += n;
    });
    if (counts.unknown != 0) categorical.counts[SingleDelta{SingleDelta::Unknown{}}] += counts.unknown;
    return CountDelta{std::move(categorical)};
  }

  const ResolvePlan& plan_;
  std::vector<std::string_view> names_;         // distinct variable names, schema order
  std::vector<std::uint64_t> extents_;          // cells per distinct name
  std::vector<std::size_t> counts_of_variable_; // schema variable -> distinct name
  std::deque<std::string> key_bytes_;           // stable storage for the map's views
  std::unordered_map<KeyRef, std::size_t, KeyRefHash> group_by_bytes_;
  std::map<core::DimensionKey, std::size_t> group_by_key_;
  std::deque<KeyGroup> groups_;  // in order of first appearance
};

SingleDelta single_delta_of(const ResolvePlan::Variable& variable, std::uint64_t code) {
  if (variable.kind == ResolvePlan::Kind::Continuous) return SingleDelta{SingleDelta::Bin{code}};
  if (code == ResolvePlan::kUnknown) return SingleDelta{SingleDelta::Unknown{}};
  return SingleDelta{SingleDelta::Category{code}};
}

}  // namespace

namespace batch_updater {

std::optional<ResolvedRow> resolve_row(const core::Schema& schema, const MappedRow& row) {
  const ResolvePlan plan(schema);
  std::string key;
  std::vector<std::uint64_t> codes(plan.variables().size());
  std::vector<JointCell> cells(plan.joints().size());
  if (!plan.resolve(row, key, codes, cells)) return std::nullopt;
  ResolvedRow resolved;
  for (std::size_t v = 0; v < codes.size(); ++v) {
    if (codes[v] == ResolvePlan::kNoDelta) continue;
    const auto& variable = plan.variables()[v];
    resolved.single_deltas.emplace_back(std::string(variable.name),
                                        single_delta_of(variable, codes[v]));
  }
  for (std::size_t j = 0; j < cells.size(); ++j) {
    if (cells[j].first == ResolvePlan::kNoCell) continue;
    const auto& joint = plan.joints()[j];
    resolved.joint_cells.push_back({{std::string(joint.a), std::string(joint.b)},
                                    {cells[j].first, cells[j].second}});
  }
  resolved.dimension_key = core::dimension_key_from_pairs(plan.key_pairs(key));
  resolved.raw_values = std::move(*payload_of(row).get_if<core::json::Object>());
  return resolved;
}

BatchStats apply_batch(storage::Database& db, const core::Schema& schema,
                       std::span<const MappedRow> rows) {
  BatchStats stats;
  if (rows.empty()) return stats;
  const ResolvePlan plan(schema);
  const bool raw_log = db.meta().raw_log_enabled;
  BatchMerge merge(plan);
  ResolvedBlock block;
  std::vector<core::json::Value> payloads;
  for (std::size_t start = 0; start < rows.size(); start += kBlockRows) {
    const auto run = rows.subspan(start, std::min(kBlockRows, rows.size() - start));
    resolve_block(plan, run, raw_log, block);
    payloads.clear();
    merge.add(block, stats, payloads);
    // Lines go out in row order, before any count reaches the database.
    if (!payloads.empty()) db.append_raw_records(payloads);
    release_in_parallel(payloads);
  }
  merge.apply(db, stats);
  return stats;
}

}  // namespace batch_updater
}  // namespace quib::ingest
