#include "ingest/batch_updater.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/json_writer.h"
#include "ingest/batch_merge.h"
#include "ingest/worker_pool.h"
#include "storage/raw_log.h"

namespace quib::ingest {
namespace {

// Rows resolved per parallel step; bounds the memory of one step whatever the batch size.
constexpr std::size_t kBlockRows = 32768;
// Fewest rows worth a chunk of their own on the pool.
constexpr std::size_t kRowsPerChunk = 64;
// Fewest counted rows per shard worth counting the shards of a block on the pool.
constexpr std::size_t kRowsPerShard = 256;

// The output of the parallel step for one block of rows. Each chunk of rows writes its own key
// bytes and raw-log lines, so workers share nothing but the row results they own.
struct ResolvedBlock {
  struct RowResult {
    bool resolved = false;
    std::uint32_t chunk = 0;
    std::size_t key_offset = 0;
    std::size_t key_length = 0;
    std::size_t key_hash = 0;
  };
  struct Chunk {
    std::string keys;
    std::string lines;  // the raw-log lines of the chunk's counted rows
    std::vector<std::size_t> line_ends;
    std::vector<std::vector<std::uint32_t>> shard_rows;  // per shard of keys, its counted rows
    std::size_t resolved = 0;
  };
  std::vector<RowResult> rows;
  std::vector<Chunk> chunks;
  std::size_t chunk_count = 0;
  std::vector<std::uint64_t> codes;  // rows x variables
  std::vector<JointCell> cells;      // rows x joints
  std::size_t resolved = 0;
  std::vector<storage::RawLines> lines;  // per chunk, when the raw log is on

  std::string_view key_of(const RowResult& row) const {
    return std::string_view(chunks[row.chunk].keys).substr(row.key_offset, row.key_length);
  }
};

// Rows of a table read through a binding. Each worker takes its own cursor.
class TableSource {
 public:
  TableSource(const ResolvePlan& plan, const RowTable& table, const ColumnBinding& binding,
              const KeptRows& kept)
      : table_(table), binding_(binding), kept_(kept) {
    for (const auto& variable : plan.variables()) {
      variable_slots_.push_back(slot_of(binding.variable_names(), variable.name));
    }
    for (const auto& dimension : plan.dimensions()) {
      dimension_slots_.push_back(slot_of(binding.dimension_names(), dimension.name));
    }
    for (const std::string_view name : binding.variable_names()) {
      std::string& text = member_keys_.emplace_back();
      core::json::write_string(text, name);
      text += ':';
    }
    every_row_resolves_ = std::find(dimension_slots_.begin(), dimension_slots_.end(),
                                    ColumnBinding::kNoSlot) == dimension_slots_.end();
  }

  // Whether every row resolves. Kept rows hold every dimension the binding maps, so a row fails
  // to resolve only when the binding lacks one of the schema's dimensions, and then every row
  // fails: counted rows are all rows or none, and a row's record id follows from its position.
  bool every_row_resolves() const { return every_row_resolves_; }

  class Cursor {
   public:
    explicit Cursor(const TableSource& source)
        : source_(source),
          values_(source.variable_slots_.size()),
          dimensions_(source.dimension_slots_.size()) {}

    RowValues read(std::size_t i) {
      const Row row = source_.table_.row(source_.kept_.row(i), scratch_);
      if (!column_mapper::project(row, source_.binding_, slots_)) {
        throw InternalError("a kept row no longer maps");
      }
      for (std::size_t v = 0; v < values_.size(); ++v) {
        const std::uint32_t slot = source_.variable_slots_[v];
        values_[v] = slot == ColumnBinding::kNoSlot ? nullptr : slots_.variables[slot];
      }
      for (std::size_t d = 0; d < dimensions_.size(); ++d) {
        const std::uint32_t slot = source_.dimension_slots_[d];
        dimensions_[d] = slot == ColumnBinding::kNoSlot ? nullptr : &slots_.dimensions[slot];
      }
      return RowValues{values_, dimensions_};
    }

    // The raw-log payload of the row last read: its mapped variables in name order. A row whose
    // values are all texts that need no escape, as most rows of a file are, is laid out at once
    // from the texts' own bytes.
    void payload(std::string& out) const {
      std::size_t size = 1;  // the closing brace; each member brings the mark before it
      for (std::size_t slot = 0; slot < slots_.variables.size(); ++slot) {
        const Cell* value = slots_.variables[slot];
        if (value == nullptr) continue;
        if (value->kind() != Cell::Kind::Text || !core::json::is_plain_string(value->as_text())) {
          write_members(out);
          return;
        }
        size += 1 + source_.member_keys_[slot].size() + value->as_text().size() + 2;
      }
      if (size == 1) ++size;  // "{}"
      const std::size_t at = out.size();
      out.resize(at + size);
      char* p = out.data() + at;
      auto put = [&p](std::string_view bytes) {
        // An empty text may have no storage at all, and memcpy takes no null source.
        if (bytes.empty()) return;
        std::memcpy(p, bytes.data(), bytes.size());
        p += bytes.size();
      };
      char mark = '{';
      for (std::size_t slot = 0; slot < slots_.variables.size(); ++slot) {
        const Cell* value = slots_.variables[slot];
        if (value == nullptr) continue;
        *p++ = mark;
        mark = ',';
        put(source_.member_keys_[slot]);
        *p++ = '"';
        put(value->as_text());
        *p++ = '"';
      }
      if (mark == '{') *p++ = '{';
      *p = '}';
    }

   private:
    void write_members(std::string& out) const {
      out += '{';
      bool first = true;
      for (std::size_t slot = 0; slot < slots_.variables.size(); ++slot) {
        const Cell* value = slots_.variables[slot];
        if (value == nullptr) continue;
        if (!first) out += ',';
        first = false;
        out += source_.member_keys_[slot];
        value->write_json(out);
      }
      out += '}';
    }

    const TableSource& source_;
    RowScratch scratch_;
    SlotRow slots_;
    std::vector<const Cell*> values_;
    std::vector<const std::string_view*> dimensions_;
  };

  Cursor cursor() const { return Cursor(*this); }

 private:
  static std::uint32_t slot_of(std::span<const std::string_view> names, std::string_view name) {
    auto it = std::lower_bound(names.begin(), names.end(), name);
    return it != names.end() && *it == name ? static_cast<std::uint32_t>(it - names.begin())
                                            : ColumnBinding::kNoSlot;
  }

  const RowTable& table_;
  const ColumnBinding& binding_;
  const KeptRows& kept_;
  std::vector<std::uint32_t> variable_slots_;   // per plan variable
  std::vector<std::uint32_t> dimension_slots_;  // per plan dimension
  std::vector<std::string> member_keys_;        // per variable slot: "name":
  bool every_row_resolves_ = true;
};

// Resolves rows [first, first + n) of the source into `block`, listing the counted rows of each
// chunk by the shard of `merge` that counts them. With the raw log on, each counted row's line is
// written as it is resolved, row i of the block taking the record id `first_record_id + i`.
template <typename Source>
void resolve_block(const ResolvePlan& plan, const BatchMerge& merge, const Source& source,
                   std::size_t first, std::size_t n, bool raw_log, std::uint64_t first_record_id,
                   ResolvedBlock& block) {
  const std::size_t variables = plan.variables().size();
  const std::size_t joints = plan.joints().size();
  block.rows.assign(n, {});
  block.codes.resize(n * variables);
  block.cells.resize(n * joints);
  const std::size_t chunks =
      std::clamp<std::size_t>(n / kRowsPerChunk, 1, worker_pool::concurrency() * 4);
  block.chunk_count = std::min(chunks, n);
  if (block.chunks.size() < block.chunk_count) block.chunks.resize(block.chunk_count);
  const bool write_lines = raw_log && source.every_row_resolves();
  worker_pool::for_each_chunk(n, chunks, [&](std::size_t c, std::size_t begin, std::size_t end) {
    auto cursor = source.cursor();
    ResolvedBlock::Chunk& chunk = block.chunks[c];
    chunk.keys.clear();
    chunk.lines.clear();
    chunk.line_ends.clear();
    chunk.shard_rows.resize(merge.shards());
    for (auto& rows : chunk.shard_rows) rows.clear();
    chunk.resolved = 0;
    for (std::size_t i = begin; i < end; ++i) {
      auto& result = block.rows[i];
      const std::size_t offset = chunk.keys.size();
      result.resolved =
          plan.resolve(cursor.read(first + i), chunk.keys,
                       std::span(block.codes).subspan(i * variables, variables),
                       std::span(block.cells).subspan(i * joints, joints));
      if (!result.resolved) continue;
      ++chunk.resolved;
      const std::string_view key = std::string_view(chunk.keys).substr(offset);
      result.chunk = static_cast<std::uint32_t>(c);
      result.key_offset = offset;
      result.key_length = key.size();
      result.key_hash = std::hash<std::string_view>{}(key);
      chunk.shard_rows[merge.shard_of(result.key_hash)].push_back(static_cast<std::uint32_t>(i));
      if (write_lines) {
        storage::begin_raw_line(chunk.lines);
        cursor.payload(chunk.lines);
        storage::end_raw_line(chunk.lines, first_record_id + i);
        chunk.line_ends.push_back(chunk.lines.size());
      }
    }
  });
  block.resolved = 0;
  for (std::size_t c = 0; c < block.chunk_count; ++c) block.resolved += block.chunks[c].resolved;
  if (write_lines && block.resolved != n) throw InternalError("a kept row lost a dimension");
  block.lines.clear();
  if (!write_lines) return;
  for (std::size_t c = 0; c < block.chunk_count; ++c) {
    block.lines.push_back(storage::RawLines{block.chunks[c].lines, block.chunks[c].line_ends});
  }
}

}  // namespace

namespace batch_updater {

struct BatchWriter::State {
  State(storage::Database& database, const core::Schema& schema)
      : db(database), plan(schema), merge(plan, worker_pool::concurrency()) {}

  // Rows [begin, end) of a source as batches of `batch_rows` rows. Each batch is resolved,
  // counted and logged block by block, then committed, and its stats go to `on_batch`. While
  // the calling thread writes one block's raw-log lines and commits it, the pool counts that
  // block and resolves the next one, writing that block's lines in memory.
  template <typename Source>
  void run(const Source& source, std::size_t begin, std::size_t end, std::size_t batch_rows,
           const std::function<void(const BatchStats&)>& on_batch) {
    if (begin >= end) return;
    const bool raw_log = db.meta().raw_log_enabled;
    struct Block {
      std::size_t begin = 0;
      std::size_t end = 0;
      std::size_t batch_end = 0;
    };
    auto block_at = [&](std::size_t at, std::size_t batch_end) {
      if (at == batch_end) batch_end = std::min(end, at + batch_rows);
      return Block{at, std::min(batch_end, at + kBlockRows), batch_end};
    };
    auto resolve_later = [&](const Block& block, std::uint64_t first_id, ResolvedBlock& into) {
      return std::make_unique<worker_pool::Background>([this, &source, block, first_id, &into,
                                                        raw_log] {
        resolve_block(plan, merge, source, block.begin, block.end - block.begin, raw_log, first_id,
                      into);
      });
    };
    // Record ids run on from block to block; the database checks each block's first one.
    std::uint64_t next_id = db.meta().next_raw_record_id;
    std::optional<Block> current = block_at(begin, begin);
    std::size_t slot = 0;
    std::unique_ptr<worker_pool::Background> resolving =
        resolve_later(*current, next_id, blocks[slot]);
    BatchStats stats;
    try {
      while (current) {
        resolving->wait();
        resolving.reset();
        const ResolvedBlock& block = blocks[slot];
        const std::uint64_t first_id = next_id;
        next_id += block.resolved;
        std::optional<Block> next;
        if (current->end < end) next = block_at(current->end, current->batch_end);
        if (next) resolving = resolve_later(*next, next_id, blocks[1 - slot]);
        // Lines go out in row order, before any count reaches the database. The pool counts the
        // same rows meanwhile, in the merge's own memory, while this thread writes.
        if (raw_log && block.resolved != 0) {
          worker_pool::Background counting([&] { count_block(block, stats); });
          std::exception_ptr log_error;
          try {
            db.append_raw_lines(first_id, block.lines);
          } catch (...) {
            log_error = std::current_exception();
          }
          counting.wait();  // an error of the counting goes first
          if (log_error) std::rethrow_exception(log_error);
        } else {
          count_block(block, stats);
        }
        if (current->end == current->batch_end) {
          stats.distributions_updated = merge.commit(db);
          on_batch(stats);
          stats = BatchStats{};
        }
        current = next;
        slot = 1 - slot;
      }
    } catch (...) {
      resolving.reset();  // the pool may still be writing the other block
      merge.settle(db);
      throw;
    }
  }

  // Counts the rows of one block, each shard of keys on a thread of its own walking the block in
  // row order.
  void count_block(const ResolvedBlock& block, BatchStats& stats) {
    const std::size_t variables = plan.variables().size();
    const std::size_t joints = plan.joints().size();
    const std::uint64_t first_row = rows_counted;
    auto count_row = [&](std::size_t i) {
      const auto& row = block.rows[i];
      const BatchMerge::GroupRef group = merge.group_of(block.key_of(row), row.key_hash);
      merge.count(group, first_row + i, block.codes.data() + i * variables,
                  block.cells.data() + i * joints);
    };
    const std::size_t shards = merge.shards();
    if (shards == 1 || block.resolved < kRowsPerShard * shards) {
      for (std::size_t i = 0; i < block.rows.size(); ++i) {
        if (block.rows[i].resolved) count_row(i);
      }
    } else {
      worker_pool::for_each_chunk(shards, shards, [&](std::size_t shard, std::size_t, std::size_t) {
        for (std::size_t c = 0; c < block.chunk_count; ++c) {
          for (const std::uint32_t i : block.chunks[c].shard_rows[shard]) count_row(i);
        }
      });
    }
    rows_counted += block.rows.size();
    stats.processed += block.resolved;
    stats.skipped += block.rows.size() - block.resolved;
  }

  storage::Database& db;
  const ResolvePlan plan;
  BatchMerge merge;
  std::uint64_t rows_counted = 0;  // orders the rows of every batch
  ResolvedBlock blocks[2];
  bool finished = false;
};

BatchWriter::BatchWriter(storage::Database& db, const core::Schema& schema)
    : state_(std::make_unique<State>(db, schema)) {}

BatchWriter::~BatchWriter() {
  // Counts already committed are settled whatever happened after them.
  if (!state_->finished) state_->merge.settle(state_->db);
}

BatchStats BatchWriter::apply(const RowTable& table, const ColumnBinding& binding,
                              const KeptRows& rows, std::size_t begin, std::size_t end) {
  const TableSource source(state_->plan, table, binding, rows);
  BatchStats stats;
  state_->run(source, begin, end, end - begin, [&](const BatchStats& batch) { stats = batch; });
  return stats;
}

void BatchWriter::apply_runs(const RowTable& table, const ColumnBinding& binding,
                             const KeptRows& rows, std::size_t run,
                             const std::function<void(const BatchStats&)>& on_batch) {
  const TableSource source(state_->plan, table, binding, rows);
  state_->run(source, 0, rows.size(), std::max<std::size_t>(run, 1), on_batch);
}

void BatchWriter::finish() {
  state_->merge.settle(state_->db);
  state_->finished = true;
}

struct PartedBatch::Parts {
  Parts(storage::Database& db, const core::Schema& schema, const IngestMapping& mapping)
      : writer(db, schema),
        mapping(mapping),
        raw_log(db.meta().raw_log_enabled),
        first_id(db.meta().next_raw_record_id),
        next_id(first_id) {}

  // Maps, resolves and counts one part, keeping its raw-log lines for the commit.
  void take(const RowTable& part) {
    BatchWriter::State& state = *writer.state_;
    const ColumnBinding binding(mapping, part.columns());
    const KeptRows kept = column_mapper::kept_rows(part, binding);
    const TableSource source(state.plan, part, binding, kept);
    for (std::size_t begin = 0; begin < kept.size(); begin += kBlockRows) {
      ResolvedBlock& block = state.blocks[0];
      resolve_block(state.plan, state.merge, source, begin,
                    std::min(kBlockRows, kept.size() - begin), raw_log, next_id, block);
      state.count_block(block, stats);
      next_id += block.resolved;
      for (std::size_t c = 0; raw_log && c < block.chunk_count; ++c) {
        if (block.chunks[c].line_ends.empty()) continue;
        lines.push_back(std::move(block.chunks[c].lines));
        line_ends.push_back(std::move(block.chunks[c].line_ends));
      }
    }
    kept_rows += kept.size();
  }

  void wait() {
    if (!working) return;
    const std::unique_ptr<worker_pool::Background> done = std::move(working);
    done->wait();
  }

  BatchWriter writer;
  const IngestMapping& mapping;
  const bool raw_log;
  const std::uint64_t first_id;  // of the first counted row
  std::uint64_t next_id;
  std::size_t kept_rows = 0;
  BatchStats stats;
  std::vector<std::string> lines;  // per resolving chunk with counted rows, in row order
  std::vector<std::vector<std::size_t>> line_ends;
  // On the last part given; the first member to go, so that it waits before the rest goes.
  std::unique_ptr<worker_pool::Background> working;
};

PartedBatch::PartedBatch(storage::Database& db, const core::Schema& schema,
                         const IngestMapping& mapping)
    : parts_(std::make_unique<Parts>(db, schema, mapping)) {}

PartedBatch::~PartedBatch() = default;

void PartedBatch::add(const RowTable& part) {
  parts_->wait();
  Parts& parts = *parts_;
  parts.working = std::make_unique<worker_pool::Background>([&parts, &part] { parts.take(part); });
}

BatchStats PartedBatch::commit() {
  parts_->wait();
  Parts& parts = *parts_;
  BatchWriter::State& state = *parts.writer.state_;
  // As a batch without kept rows, this one leaves the database untouched. On failure the
  // writer settles what was committed when it goes.
  if (parts.kept_rows != 0) {
    if (!parts.lines.empty()) {
      std::vector<storage::RawLines> pieces;
      for (std::size_t i = 0; i < parts.lines.size(); ++i) {
        pieces.push_back(storage::RawLines{parts.lines[i], parts.line_ends[i]});
      }
      state.db.append_raw_lines(parts.first_id, pieces);
    }
    parts.stats.distributions_updated = state.merge.commit(state.db);
  }
  parts.writer.finish();
  return parts.stats;
}

}  // namespace batch_updater
}  // namespace quib::ingest
