// Resolution of projected rows against one schema: the per-value work of ingestion (number reading,
// binning, category lookup, date bucketing, key building), kept free of allocation per value so
// that the batch updater can run it on the worker pool.
//
// A `ResolvePlan` is built once from the schema (which must outlive it) and is then read-only,
// so any number of threads may resolve rows with it at once. A row is handed in as its values in
// the schema's own order (`RowValues`), so that resolving compares no names. A resolved row is
// written in a compact form: the dimension values as key bytes, one code per schema variable and
// one cell per schema joint pair.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/json.h"
#include "core/schema.h"
#include "ingest/column_mapper.h"
#include "ingest/dates.h"
#include "ingest/row.h"

namespace quib::ingest {

// One joint cell in the orientation of the stored joint distribution.
struct JointCell {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
};

// One row's values in the order of a schema: per variable its value, or null when the row lacks
// it; per dimension its text, or null when the row lacks it.
struct RowValues {
  std::span<const Cell* const> variables;
  std::span<const std::string_view* const> dimensions;
};

// Category texts to the first position of each, looked up without allocation: open addressing
// over a power-of-two table at most half full, hashed from a text's length and its first and
// last eight bytes (categories are few and short, and every hit compares the whole text).
class CategoryPositions {
 public:
  static constexpr std::uint64_t kMissing = ~std::uint64_t{0};

  explicit CategoryPositions(std::span<const std::string> categories = {});
  // The first position of `text`, or kMissing.
  std::uint64_t find(std::string_view text) const;

 private:
  struct Slot {
    std::string_view text;
    std::uint64_t position = kMissing;
  };
  static std::uint64_t hash(std::string_view text);

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

class ResolvePlan {
 public:
  // Codes of a variable in a resolved row; any other code is a category position (categorical
  // variable) or a bin index (continuous variable).
  static constexpr std::uint64_t kNoDelta = ~std::uint64_t{0};
  static constexpr std::uint64_t kUnknown = ~std::uint64_t{0} - 1;
  // The first index of a joint cell that the row does not give.
  static constexpr std::uint64_t kNoCell = ~std::uint64_t{0};

  enum class Kind { Continuous, Categorical, Inert };

  struct Variable {
    std::string_view name;
    Kind kind = Kind::Inert;
    std::uint64_t cells = 0;  // bins, or number of categories
    // Continuous.
    double min = 0.0;
    double width = 0.0;
    // Categorical: the first position of each category text.
    CategoryPositions positions;
    bool allow_unknown = false;
  };

  struct Dimension {
    std::string_view name;
    dates::Granularity granularity = dates::Granularity::None;
  };

  struct Joint {
    std::string_view a;  // as the schema lists the pair
    std::string_view b;
    // First definitions of the two names, or -1 when a name is no variable or the pair (in
    // either order) was listed before.
    std::ptrdiff_t a_variable = -1;
    std::ptrdiff_t b_variable = -1;
    std::uint64_t first_cells = 0;  // extents of the two indices, for packing cells
    std::uint64_t second_cells = 0;
  };

  explicit ResolvePlan(const core::Schema& schema);
  ResolvePlan(core::Schema&&) = delete;

  std::span<const Variable> variables() const { return variables_; }
  std::span<const Dimension> dimensions() const { return dimensions_; }
  std::span<const Joint> joints() const { return joints_; }

  // Resolves `row`. On success appends the key bytes to `key` and fills `codes` (one per
  // variable) and `cells` (one per joint); a row lacking a dimension gives false and leaves
  // `key` as it was.
  bool resolve(const RowValues& row, std::string& key, std::span<std::uint64_t> codes,
               std::span<JointCell> cells) const;

  // The (dimension name, value) pairs of key bytes written by `resolve`.
  std::vector<std::pair<std::string, std::string>> key_pairs(std::string_view key) const;

 private:
  std::uint64_t code_of(const Variable& variable, const Cell* value, CategoryRoom& room) const;
  JointCell cell_of(const Joint& joint, const RowValues& row, CategoryRoom& room) const;

  std::vector<Variable> variables_;
  std::vector<Dimension> dimensions_;
  std::vector<Joint> joints_;
};

}  // namespace quib::ingest
