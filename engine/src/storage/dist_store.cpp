#include "storage/dist_store.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>

#include "core/error.h"
#include "core/file_io.h"

namespace quib::storage {
namespace {

using core::create_dir_all;
using core::join_path;

constexpr std::string_view kReadOnly = "database opened in read-only mode";

// A failed metadata query counts as a missing file.
bool path_exists(const std::string& path) {
  struct stat st {};
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

constexpr std::uint64_t kLastId = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_next(std::uint64_t id) { return id == kLastId ? id : id + 1; }

// A counter names the next id to hand out and must move past it, so its last value is never
// handed out: the counter would wrap to an id already stored.
void check_counter(std::uint64_t next, const char* what, const char* counter) {
  if (next == kLastId) {
    throw Error(std::string(what) + " ids exhausted: " + counter + " is " +
                std::to_string(next));
  }
}

constexpr const char* kRecordFiles[] = {"meta.edb", "distributions.edb", "dist_index.edb",
                                        "snapshots.edb"};

// The smallest id above every stored one (1 for none).
template <typename Stored>
std::uint64_t past_highest_id(const std::vector<Stored>& stored) {
  std::uint64_t highest = 0;
  for (const auto& object : stored) highest = std::max(highest, object.id);
  return saturating_next(highest);
}

// The lookup text of a joint distribution; a shared text is told apart by comparing the fields.
std::string joint_text(std::string_view x, std::string_view y, const core::DimensionKey& key) {
  std::string text;
  text.reserve(x.size() + y.size() + 2 + 16 * key.size());
  text += x;
  text += '\0';
  text += y;
  text += '\0';
  core::append_canonical_dimension_key(text, key);
  return text;
}

template <typename Position>
void take_last(std::vector<Position>& positions, std::size_t position) {
  if (!positions.empty() && positions.back() == position) positions.pop_back();
}

std::pair<std::string_view, std::string_view> byte_order(std::string_view a, std::string_view b) {
  if (b < a) return {b, a};
  return {a, b};
}

// Decoding leaves the distributions of one variable sharing one list of names; the schema takes
// that list over where the names agree, so that distributions created from now on share it too.
// A distribution may name other categories than its variable (a file written by hand), so the
// names are compared, never assumed.
template <typename PositionsOf>
void adopt_stored_categories(core::Schema& schema,
                             const std::vector<core::DistributionObject>& distributions,
                             PositionsOf positions_of) {
  for (auto& variable : schema.variables) {
    auto* categorical = std::get_if<core::VariableType::Categorical>(&variable.var_type.value);
    if (categorical == nullptr) continue;
    const core::CategoryList* refused = nullptr;
    for (const std::size_t position : positions_of(variable.name)) {
      const auto* stored =
          distributions[position].repr.get_if<core::DistributionRepr::Categorical>();
      if (stored == nullptr) continue;
      if (refused != nullptr && stored->categories.shares_names_with(*refused)) continue;
      if (stored->categories == categorical->categories) {
        categorical->categories = stored->categories;
        break;
      }
      refused = &stored->categories;
    }
  }
}

}  // namespace

Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Database Database::create_with_options(const std::string& path, bool raw_log_enabled) {
  with_context([&] { return "create db dir " + path; }, [&] {
    check_path_bytes(path);
    create_dir_all(path);
  });
  if (raw_log_enabled) {
    const std::string raw_dir = join_path(path, "raw");
    with_context([&] { return "create raw dir " + raw_dir; }, [&] { create_dir_all(raw_dir); });
  }
  MetaFile meta;
  meta.raw_log_enabled = raw_log_enabled;
  file_format::ensure_file(join_path(path, "meta.edb"), meta);
  file_format::ensure_file(join_path(path, "distributions.edb"), DistributionFile{});
  file_format::ensure_file(join_path(path, "dist_index.edb"), DistIndex{});
  file_format::ensure_snapshot_file(join_path(path, "snapshots.edb"));
  return open(path, true);
}

Database Database::open(const std::string& path, bool read_write) {
  if (!path_exists(path)) throw Error("database path does not exist: " + path);

  // Numbers only need to differ; no order between threads is needed.
  static std::atomic<std::uint64_t> instances{0};
  Database db;
  db.instance_ = instances.fetch_add(1, std::memory_order_relaxed) + 1;
  if (read_write) {
    db.lock_.emplace(DatabaseLock::acquire(join_path(path, "lock.edb")));
    // A flush cut short by a crash may have left its temporaries; under the lock none is live.
    for (const char* name : kRecordFiles) {
      core::remove_stale_temporaries(join_path(path, name));
      // The next flush brings a missing file back, even with nothing else to write.
      if (!path_exists(join_path(path, name))) db.changed_ = true;
    }
  }
  db.meta_ = file_format::read_file<MetaFile>(join_path(path, "meta.edb"));
  const std::string dist_path = join_path(path, "distributions.edb");
  db.dist_file_ = read_write ? file_format::read_file<DistributionFile>(dist_path)
                             : file_format::read_file_mmap(dist_path);
  db.rebuild_lookups(dist_path);

  // The index and the snapshots are not vital: an unreadable file falls back quietly. Flush
  // replaces the files in an order where each is derivable from those before it, so whatever a
  // crash or a full disk cut short is repaired here, and counters never hand out an id already
  // stored. The index is always made from the distributions (when flush writes it): a stored
  // index that maps them exactly holds the same entries, and any other would be replaced, so it
  // is not read at all.
  db.meta_.next_distribution_id =
      std::max(db.meta_.next_distribution_id, past_highest_id(db.dist_file_.distributions));
  db.meta_.next_joint_id = std::max(db.meta_.next_joint_id, past_highest_id(db.dist_file_.joints));

  const std::string snapshots_path = join_path(path, "snapshots.edb");
  if (path_exists(snapshots_path)) {
    try {
      db.snapshots_ = file_format::read_file<SnapshotStore>(snapshots_path);
    } catch (const Error&) {
      db.snapshots_ = SnapshotStore{};
      db.changed_ = read_write;
    }
  }

  if (db.meta_.raw_log_enabled) {
    db.raw_log_.emplace(RawLog::open(join_path(path, "raw")));
    // Lines appended after the last flush keep their ids; a line torn by a kill goes.
    if (read_write) {
      if (const auto last = db.raw_log_->recover()) {
        db.meta_.next_raw_record_id = std::max(db.meta_.next_raw_record_id, saturating_next(*last));
      }
    }
  }
  db.root_ = path;
  db.writable_ = read_write;
  adopt_stored_categories(db.meta_.schema, db.dist_file_.distributions,
                          [&](std::string_view name) { return db.positions_of_variable(name); });
  return db;
}

void Database::flush() {
  if (!writable_ || !changed_) return;
  file_format::FileSet files;
  files.add(join_path(root_, "meta.edb"), meta_);
  files.add(join_path(root_, "distributions.edb"), dist_file_);
  files.add(join_path(root_, "dist_index.edb"), DistIndexOf{dist_file_.distributions});
  files.add(join_path(root_, "snapshots.edb"), snapshots_);
  try {
    files.replace_all();
  } catch (const Error&) {
    files_mixed_ = files_mixed_ || files.left_mixed();
    throw;
  }
  changed_ = false;
  files_mixed_ = false;
  // The files now hold part of an open change: undoing it must leave something to write.
  if (change_) change_->changed = true;
}

void Database::check_writable() const {
  if (!writable_) throw Error(std::string(kReadOnly));
}

void Database::define_variable(core::VariableDefinition definition) {
  check_writable();
  if (auto refusal = meta_.schema.define_variable(std::move(definition))) {
    throw refusal->to_error();
  }
  changed_ = true;
}

void Database::define_dimension(core::DimensionDefinition definition) {
  check_writable();
  if (auto refusal = meta_.schema.define_dimension(std::move(definition))) {
    throw refusal->to_error();
  }
  changed_ = true;
}

void Database::rebuild_lookups(const std::string& dist_path) {
  position_by_id_.clear();
  keys_.clear();
  keys_filled_ = false;
  for (std::size_t i = 0; i < dist_file_.distributions.size(); ++i) {
    const auto& distribution = dist_file_.distributions[i];
    // Everything that caches or looks up by id takes an id for one distribution; the system
    // never writes a file where two share one, so such a file was made or damaged outside.
    const std::uint64_t id = distribution.id;
    if (!position_by_id_.insert(id, i)) {
      throw Error("distribution id " + std::to_string(id) + " appears more than once in " +
                  dist_path);
    }
  }
  rebuild_exact();
  variables_.clear();
  for (std::size_t i = 0; i < dist_file_.distributions.size(); ++i) file_position(i);
  joint_positions_.clear();
  for (std::size_t i = 0; i < dist_file_.joints.size(); ++i) {
    const auto& joint = dist_file_.joints[i];
    joint_positions_[joint_text(joint.variables.first, joint.variables.second,
                                joint.dimension_key)]
        .push_back(i);
  }
}

namespace {

std::size_t mix(std::size_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

std::uint32_t Database::exact_hash(std::string_view variable, const core::DimensionKey& key) {
  return static_cast<std::uint32_t>(mix(std::hash<std::string_view>{}(variable) ^ mix(key.hash())));
}

core::SharedText Database::shared_name(std::string_view variable) const {
  const auto filed = variables_.find(variable);
  if (filed == variables_.end()) return core::SharedText(variable);
  return dist_file_.distributions[filed->second.all.front()].variable;
}

core::DimensionKey Database::shared_key(const core::DimensionKey& key) {
  if (!keys_filled_) {
    for (auto& distribution : dist_file_.distributions) {
      distribution.dimension_key = keys_.intern(distribution.dimension_key);
    }
    for (auto& joint : dist_file_.joints) joint.dimension_key = keys_.intern(joint.dimension_key);
    keys_filled_ = true;
  }
  return keys_.intern(key);
}

void Database::rebuild_exact() {
  exact_.clear();
  exact_.reserve(dist_file_.distributions.size());
  for (std::size_t i = 0; i < dist_file_.distributions.size(); ++i) file_exact(i);
}

void Database::file_exact(std::size_t position) {
  const auto& distribution = dist_file_.distributions[position];
  const auto hash = exact_hash(distribution.variable, distribution.dimension_key);
  exact_.insert_or_replace(hash, static_cast<std::uint32_t>(position),
                           exact_match(distribution.variable, distribution.dimension_key));
}

Database::Located Database::locate(std::string_view variable,
                                   const core::DimensionKey& key) const {
  const std::uint32_t position = exact_.find(exact_hash(variable, key), exact_match(variable, key));
  if (position == core::FlatIndex::kNone) return {};
  return {dist_file_.distributions[position].id, position};
}

std::uint64_t Database::ensure_distribution(std::string_view variable,
                                            const core::DimensionKey& key) {
  if (const Located found = locate(variable, key); found.id) return *found.id;
  const core::VariableDefinition* definition = meta_.schema.find_variable(variable);
  if (definition == nullptr) throw Error("unknown variable '" + std::string(variable) + "'");
  const std::uint64_t id = meta_.next_distribution_id;
  check_counter(id, "distribution", "next_distribution_id");
  dist_file_.distributions.push_back(
      core::DistributionObject::create(id, shared_name(variable), shared_key(key),
                                       core::DistributionRepr::from_variable(definition->var_type)));
  const std::size_t position = dist_file_.distributions.size() - 1;
  bool inserted = false;
  try {
    inserted = position_by_id_.insert(id, position);
  } catch (...) {
    dist_file_.distributions.pop_back();
    throw;
  }
  if (!inserted) {
    // Open raises the counter above every stored id, so only a broken counter gets here.
    dist_file_.distributions.pop_back();
    throw Error("distribution id " + std::to_string(id) + " is already taken");
  }
  meta_.next_distribution_id = id + 1;
  changed_ = true;
  file_position(position);
  file_exact(position);
  return id;
}

std::size_t Database::ensure_distribution_position(std::string_view variable,
                                                   const core::DimensionKey& key) {
  check_writable();
  const std::uint64_t id = ensure_distribution(variable, key);
  const Located found = locate(variable, key);
  if (!found.id) throw Error("distribution index missing after ensure");
  if (found.position == kNoPosition) {
    throw Error("distribution id '" + std::to_string(id) + "' not found");
  }
  return found.position;
}

Database::Mark Database::mark() const {
  return {dist_file_.distributions.size(), dist_file_.joints.size(), meta_.next_distribution_id,
          meta_.next_joint_id};
}

void Database::rollback(const Mark& mark) {
  auto& distributions = dist_file_.distributions;
  for (std::size_t i = distributions.size(); i-- > mark.distributions;) {
    position_by_id_.erase(distributions[i].id, i);
    unfile_position(i);
  }
  const bool removed = distributions.size() > mark.distributions;
  distributions.erase(distributions.begin() + static_cast<std::ptrdiff_t>(mark.distributions),
                      distributions.end());
  auto& joints = dist_file_.joints;
  for (std::size_t i = joints.size(); i-- > mark.joints;) {
    const auto& joint = joints[i];
    const auto found = joint_positions_.find(
        joint_text(joint.variables.first, joint.variables.second, joint.dimension_key));
    if (found == joint_positions_.end()) continue;
    if (!found->second.empty() && found->second.back() == i) found->second.pop_back();
    if (found->second.empty()) joint_positions_.erase(found);
  }
  joints.erase(joints.begin() + static_cast<std::ptrdiff_t>(mark.joints), joints.end());
  meta_.next_distribution_id = mark.next_distribution_id;
  meta_.next_joint_id = mark.next_joint_id;
  // A removed distribution may have hidden an older one of the same variable and key: the
  // lookup is made again rather than patched. The memory of the removed distributions is free
  // again by now.
  if (removed) rebuild_exact();
}

void Database::begin_change() {
  if (change_depth_++ > 0) return;
  OpenChange change;
  change.mark = mark();
  change.variables = meta_.schema.variables.size();
  change.dimensions = meta_.schema.dimensions.size();
  change.changed = changed_;
  change.next_raw_record_id = meta_.next_raw_record_id;
  change_.emplace(std::move(change));
}

void Database::end_change() {
  if (change_depth_ == 0 || --change_depth_ > 0) return;
  change_.reset();
}

void Database::undo_change() {
  if (change_depth_ == 0 || --change_depth_ > 0) return;
  OpenChange change = std::move(*change_);
  change_.reset();
  for (auto& [position, original] : change.distributions) {
    dist_file_.distributions[position] = std::move(original);
    advance_generation(dist_file_.distributions[position].variable);
  }
  for (auto& [position, original] : change.joints) {
    dist_file_.joints[position] = std::move(original);
  }
  rollback(change.mark);
  meta_.schema.variables.resize(change.variables);
  meta_.schema.dimensions.resize(change.dimensions);
  // Back as it was, but record ids taken by lines already appended stay taken, and a flush that
  // could not put the old files back leaves them unknown.
  changed_ = change.changed || files_mixed_ ||
             meta_.next_raw_record_id != change.next_raw_record_id;
}

void Database::keep_original_distribution(std::size_t position) {
  if (change_ && position < change_->mark.distributions) {
    change_->distributions.try_emplace(position, dist_file_.distributions[position]);
  }
}

core::DistributionObject& Database::distribution_at(std::size_t position) {
  keep_original_distribution(position);
  changed_ = true;
  // Raised before the caller changes anything: results read until now keep the old generation.
  advance_generation(dist_file_.distributions[position].variable);
  return dist_file_.distributions[position];
}

void Database::finalize_distribution_at(std::size_t position, std::uint64_t now,
                                        std::uint64_t batches) {
  auto& distribution = distribution_at(position);
  distribution.sample_count = distribution.repr.total_count();
  distribution.entropy = core::entropy(distribution.repr);
  distribution.last_updated = now;
  distribution.version += batches;
}

std::size_t Database::joint_position(std::string_view x, std::string_view y,
                                     const core::DimensionKey& key) const {
  auto it = joint_positions_.find(joint_text(x, y, key));
  if (it == joint_positions_.end()) return kNoPosition;
  for (const std::size_t position : it->second) {
    const auto& joint = dist_file_.joints[position];
    if (joint.variables.first == x && joint.variables.second == y &&
        joint.dimension_key == key) {
      return position;
    }
  }
  return kNoPosition;
}

void Database::ensure_joint_distribution(std::string_view a, std::string_view b,
                                         const core::DimensionKey& key) {
  if (get_joint_distribution(a, b, key) != nullptr) return;
  const auto [x, y] = byte_order(a, b);
  const core::VariableDefinition* x_def = meta_.schema.find_variable(x);
  const core::VariableDefinition* y_def = meta_.schema.find_variable(y);
  if (x_def == nullptr || y_def == nullptr) throw Error("joint variables not found in schema");
  check_counter(meta_.next_joint_id, "joint distribution", "next_joint_id");
  core::JointDistributionObject joint;
  joint.repr = core::JointRepr::empty_for(*x_def, *y_def);
  joint.id = meta_.next_joint_id;
  joint.variables = {std::string(x), std::string(y)};
  joint.dimension_key = shared_key(key);
  joint.sample_count = 0;
  joint.last_updated = core::unix_now();
  joint.version = 1;
  dist_file_.joints.push_back(std::move(joint));
  ++meta_.next_joint_id;
  changed_ = true;
  joint_positions_[joint_text(x, y, key)].push_back(dist_file_.joints.size() - 1);
}

const core::JointDistributionObject* Database::get_joint_distribution(
    std::string_view a, std::string_view b, const core::DimensionKey& key) const {
  const auto [x, y] = byte_order(a, b);
  const std::size_t position = joint_position(x, y, key);
  return position == kNoPosition ? nullptr : &dist_file_.joints[position];
}

core::JointDistributionObject* Database::get_joint_distribution_mut(
    std::string_view a, std::string_view b, const core::DimensionKey& key) {
  const auto [x, y] = byte_order(a, b);
  const std::size_t position = joint_position(x, y, key);
  if (position == kNoPosition) return nullptr;
  if (change_ && position < change_->mark.joints) {
    change_->joints.try_emplace(position, dist_file_.joints[position]);
  }
  changed_ = true;
  return &dist_file_.joints[position];
}

std::span<const Database::Position> Database::positions_of_variable(std::string_view variable) const {
  auto it = variables_.find(variable);
  if (it == variables_.end()) return {};
  return it->second.all;
}

std::span<const Database::Position> Database::positions_with_pair(std::string_view variable,
                                                           std::string_view dimension,
                                                           std::string_view value) const {
  const ValuePositions* values = positions_by_value(variable, dimension);
  if (values == nullptr) return {};
  const auto positions = values->find(value);
  if (positions == values->end()) return {};
  return positions->second;
}

const Database::ValuePositions* Database::positions_by_value(std::string_view variable,
                                                             std::string_view dimension) const {
  const auto filed = variables_.find(variable);
  if (filed == variables_.end()) return nullptr;
  const auto values = filed->second.by_pair.find(dimension);
  return values == filed->second.by_pair.end() ? nullptr : &values->second;
}

std::uint64_t Database::generation(std::string_view variable) const {
  const auto filed = variables_.find(variable);
  return filed == variables_.end() ? 0 : filed->second.generation;
}

void Database::advance_generation(std::string_view variable) {
  if (const auto filed = variables_.find(variable); filed != variables_.end()) {
    filed->second.generation = ++last_generation_;
  }
}

void Database::file_position(std::size_t position) {
  if (position > std::numeric_limits<Position>::max()) {
    throw Error("more distributions than a database holds");
  }
  const auto& distribution = dist_file_.distributions[position];
  auto filed = variables_.find(distribution.variable);
  if (filed == variables_.end()) filed = variables_.try_emplace(distribution.variable).first;
  filed->second.all.push_back(static_cast<Position>(position));
  // Raised before the pairs are filed: should filing fail half-way, the rollback that follows
  // raises it again.
  filed->second.generation = ++last_generation_;
  for (const auto& [dimension, value] : distribution.dimension_key) {
    auto by_name = filed->second.by_pair.find(dimension);
    if (by_name == filed->second.by_pair.end()) {
      by_name = filed->second.by_pair.try_emplace(std::string(dimension)).first;
    }
    auto& values = by_name->second;
    auto positions = values.find(value);
    if (positions == values.end()) positions = values.try_emplace(std::string(value)).first;
    positions->second.push_back(static_cast<Position>(position));
  }
}

// Lists are only appended to, so the distribution removed last is at the back of each list it
// reached (filing may have stopped half-way when memory ran out).
void Database::unfile_position(std::size_t position) {
  const auto& distribution = dist_file_.distributions[position];
  const auto filed = variables_.find(distribution.variable);
  if (filed == variables_.end()) return;
  auto& by_pair = filed->second.by_pair;
  for (const auto& [dimension, value] : distribution.dimension_key) {
    const auto values = by_pair.find(dimension);
    if (values == by_pair.end()) continue;
    const auto positions = values->second.find(value);
    if (positions == values->second.end()) continue;
    take_last(positions->second, position);
    if (positions->second.empty()) values->second.erase(positions);
    if (values->second.empty()) by_pair.erase(values);
  }
  auto& all = filed->second.all;
  take_last(all, position);
  if (all.empty()) {
    variables_.erase(filed);
  } else {
    filed->second.generation = ++last_generation_;
  }
}

std::set<std::string> Database::dimension_values(std::string_view dimension) const {
  std::set<std::string> values;
  for (const auto& [variable, filed] : variables_) {
    const auto found = filed.by_pair.find(dimension);
    if (found == filed.by_pair.end()) continue;
    for (const auto& [value, positions] : found->second) values.insert(values.end(), value);
  }
  return values;
}

DatabaseStats Database::stats() const {
  DatabaseStats stats;
  stats.distributions = dist_file_.distributions.size();
  for (const auto& distribution : dist_file_.distributions) {
    stats.total_samples = core::saturating_add(stats.total_samples, distribution.sample_count);
  }
  stats.variables = meta_.schema.variables.size();
  stats.dimensions = meta_.schema.dimensions.size();
  return stats;
}

void Database::append_raw_lines(std::uint64_t first_record_id,
                                std::span<const RawLines> pieces) {
  check_writable();
  std::size_t lines = 0;
  for (const RawLines& piece : pieces) lines += piece.line_ends.size();
  if (!raw_log_ || lines == 0) return;
  if (first_record_id != meta_.next_raw_record_id) {
    throw InternalError("raw-log lines rendered for record ids out of turn");
  }
  std::size_t written = 0;
  try {
    raw_log_->append_lines(pieces, written);
  } catch (...) {
    meta_.next_raw_record_id = first_record_id + written + 1;  // the failing record keeps its id
    changed_ = true;
    throw;
  }
  meta_.next_raw_record_id = first_record_id + lines;
  changed_ = true;
}

const core::DistributionObject* Database::find_distribution(std::string_view variable,
                                                            const core::DimensionKey& key) const {
  const Located found = locate(variable, key);
  return found.position == kNoPosition ? nullptr : &dist_file_.distributions[found.position];
}

}  // namespace quib::storage
