#include "ingest/row_resolver.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "core/distribution.h"
#include "core/number_text.h"
#include "ingest/dates.h"

namespace quib::ingest {

namespace {

// Below the range counts in bin 0, at or above the top in the last bin.
std::uint64_t bin_index(const ResolvePlan::Variable& variable, double value) {
  return core::clamped_bin_index((value - variable.min) / variable.width, variable.cells);
}

std::optional<double> number_of(const Cell& value) {
  switch (value.kind()) {
    case Cell::Kind::Unsigned:
      return static_cast<double>(value.as_unsigned());
    case Cell::Kind::Signed:
      return static_cast<double>(value.as_signed());
    case Cell::Kind::Float:
      return value.as_float();
    case Cell::Kind::Text: {
      double number = 0.0;
      if (core::number_text::parse_float(value.as_text(), number)) return number;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::uint64_t position_of(const ResolvePlan::Variable& variable, std::string_view text) {
  static_assert(CategoryPositions::kMissing == ResolvePlan::kNoDelta);
  return variable.positions.find(text);
}

// Index of a joint value: the position of a category its text names, or the bin of a number. A
// null stands for no value here, so it gives no cell even where a category is named "unknown".
std::uint64_t joint_index(const ResolvePlan::Variable& variable, const Cell& value,
                          CategoryRoom& room) {
  if (variable.kind == ResolvePlan::Kind::Categorical) {
    return value.is_null() ? ResolvePlan::kNoDelta
                           : position_of(variable, category_text(value, room));
  }
  if (variable.kind == ResolvePlan::Kind::Continuous) {
    const std::optional<double> number = number_of(value);
    return number ? bin_index(variable, *number) : ResolvePlan::kNoDelta;
  }
  return ResolvePlan::kNoDelta;
}

void put_u32(std::string& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint32_t get_u32(std::string_view in, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
  }
  return value;
}

}  // namespace

CategoryPositions::CategoryPositions(std::span<const std::string> categories) {
  std::size_t size = 2;
  while (size < 2 * categories.size()) size *= 2;
  slots_.resize(size);
  mask_ = size - 1;
  for (std::size_t i = 0; i < categories.size(); ++i) {
    std::size_t at = hash(categories[i]) & mask_;
    while (slots_[at].position != kMissing && slots_[at].text != categories[i]) {
      at = (at + 1) & mask_;
    }
    if (slots_[at].position == kMissing) slots_[at] = Slot{categories[i], i};  // first wins
  }
}

std::uint64_t CategoryPositions::find(std::string_view text) const {
  for (std::size_t at = hash(text) & mask_;; at = (at + 1) & mask_) {
    const Slot& slot = slots_[at];
    if (slot.position == kMissing || slot.text == text) return slot.position;
  }
}

std::uint64_t CategoryPositions::hash(std::string_view text) {
  const std::size_t n = text.size();
  std::uint64_t head = 0;
  std::uint64_t tail = 0;
  if (n >= 8) {
    std::memcpy(&head, text.data(), 8);
    std::memcpy(&tail, text.data() + n - 8, 8);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      head |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    }
  }
  std::uint64_t h = (head ^ n) * 0x9E3779B97F4A7C15u;
  h ^= (tail + (h >> 32)) * 0xC2B2AE3D27D4EB4Fu;
  return h ^ (h >> 29);
}

ResolvePlan::ResolvePlan(const core::Schema& schema) {
  std::unordered_map<std::string_view, std::ptrdiff_t> first_definition;
  variables_.reserve(schema.variables.size());
  for (const auto& definition : schema.variables) {
    Variable variable;
    variable.name = definition.name;
    if (const auto* continuous = definition.var_type.get_if<core::VariableType::Continuous>()) {
      const auto [min, max] = continuous->range.value_or(std::pair{0.0, 1.0});
      variable.min = min;
      variable.cells = continuous->bins;
      variable.width = (max - min) / static_cast<double>(continuous->bins);
      // No bins means no place to count: such a definition only comes from a stored file, and
      // its values are left out. A NaN width is not "<= 0" and still bins (into bin 0).
      const bool usable = continuous->bins > 0 && !(variable.width <= 0.0);
      variable.kind = usable ? Kind::Continuous : Kind::Inert;
    } else {
      const auto& categorical = std::get<core::VariableType::Categorical>(definition.var_type.value);
      variable.kind = Kind::Categorical;
      variable.cells = categorical.categories.size();
      variable.allow_unknown = categorical.allow_unknown;
      variable.positions = CategoryPositions(categorical.categories);
    }
    // A name defined twice (only a damaged stored schema can hold that) counts once, by its
    // first definition, as the database builds the distribution from that one; counting both
    // would add every row twice.
    if (!first_definition.emplace(variable.name, static_cast<std::ptrdiff_t>(variables_.size()))
             .second) {
      variable.kind = Kind::Inert;
    }
    variables_.push_back(std::move(variable));
  }
  for (const auto& definition : schema.dimensions) {
    dimensions_.push_back(
        Dimension{definition.name, dates::granularity_of(definition.granularity)});
  }
  // A pair and its reverse name one stored joint distribution; a pair listed again would add
  // every row to it twice, so only its first listing gives cells.
  std::set<std::pair<std::string_view, std::string_view>> listed;
  for (const auto& [a, b] : schema.joints) {
    Joint joint{a, b, -1, -1, 0, 0};
    if (auto it = first_definition.find(a); it != first_definition.end()) {
      joint.a_variable = it->second;
    }
    if (auto it = first_definition.find(b); it != first_definition.end()) {
      joint.b_variable = it->second;
    }
    const std::string_view x = a <= b ? a : b;
    const std::string_view y = a <= b ? b : a;
    if (!listed.emplace(x, y).second) {
      joint.a_variable = joint.b_variable = -1;
    }
    if (joint.a_variable >= 0 && joint.b_variable >= 0) {
      const Variable& va = variables_[static_cast<std::size_t>(joint.a_variable)];
      const Variable& vb = variables_[static_cast<std::size_t>(joint.b_variable)];
      // Same kind: the byte-wise smaller name indexes first. Mixed: the category first.
      const bool a_first = va.kind == vb.kind ? a <= b : va.kind == Kind::Categorical;
      joint.first_cells = a_first ? va.cells : vb.cells;
      joint.second_cells = a_first ? vb.cells : va.cells;
    }
    joints_.push_back(joint);
  }
}

std::uint64_t ResolvePlan::code_of(const Variable& variable, const Cell* value,
                                   CategoryRoom& room) const {
  if (value == nullptr) return kNoDelta;
  switch (variable.kind) {
    case Kind::Continuous: {
      const std::optional<double> number = number_of(*value);
      return number ? bin_index(variable, *number) : kNoDelta;
    }
    case Kind::Categorical: {
      const std::uint64_t position = position_of(variable, category_text(*value, room));
      if (position != kNoDelta) return position;
      return variable.allow_unknown ? kUnknown : kNoDelta;
    }
    case Kind::Inert:
      break;
  }
  return kNoDelta;
}

JointCell ResolvePlan::cell_of(const Joint& joint, const RowValues& row,
                               CategoryRoom& room) const {
  constexpr JointCell kNone{kNoCell, 0};
  if (joint.a_variable < 0 || joint.b_variable < 0) return kNone;
  // The first definition of a name reads the row's value for that name.
  const Cell* a_value = row.variables[static_cast<std::size_t>(joint.a_variable)];
  const Cell* b_value = row.variables[static_cast<std::size_t>(joint.b_variable)];
  if (a_value == nullptr || b_value == nullptr) return kNone;
  const Variable& a = variables_[static_cast<std::size_t>(joint.a_variable)];
  const Variable& b = variables_[static_cast<std::size_t>(joint.b_variable)];
  if (a.kind == Kind::Inert || b.kind == Kind::Inert) return kNone;
  const std::uint64_t a_index = joint_index(a, *a_value, room);
  const std::uint64_t b_index = joint_index(b, *b_value, room);
  if (a_index == kNoDelta || b_index == kNoDelta) return kNone;
  if (a.kind != b.kind) {
    // Category position first, bin second, whichever name is smaller.
    return a.kind == Kind::Categorical ? JointCell{a_index, b_index} : JointCell{b_index, a_index};
  }
  // The byte-wise smaller name is the stored x.
  return joint.a <= joint.b ? JointCell{a_index, b_index} : JointCell{b_index, a_index};
}

bool ResolvePlan::resolve(const RowValues& row, std::string& key, std::span<std::uint64_t> codes,
                          std::span<JointCell> cells) const {
  const std::size_t key_start = key.size();
  for (std::size_t d = 0; d < dimensions_.size(); ++d) {
    const std::string_view* text = row.dimensions[d];
    if (text == nullptr) {
      key.resize(key_start);
      return false;
    }
    // Each value is length-prefixed, so that different values never share key bytes.
    const std::size_t length_at = key.size();
    key.append(4, '\0');
    dates::append_normalized(key, *text, dimensions_[d].granularity);
    put_u32(key, length_at, static_cast<std::uint32_t>(key.size() - length_at - 4));
  }
  // One room per thread, so that an array or object among the categories grows its text once
  // rather than once per row.
  thread_local CategoryRoom room;
  for (std::size_t v = 0; v < variables_.size(); ++v) {
    codes[v] = code_of(variables_[v], row.variables[v], room);
  }
  // A row without variables has no joint cells; `cell_of` finds both values absent.
  for (std::size_t j = 0; j < joints_.size(); ++j) cells[j] = cell_of(joints_[j], row, room);
  return true;
}

std::vector<std::pair<std::string, std::string>> ResolvePlan::key_pairs(
    std::string_view key) const {
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(dimensions_.size());
  std::size_t at = 0;
  for (const Dimension& dimension : dimensions_) {
    const std::uint32_t length = get_u32(key, at);
    pairs.emplace_back(std::string(dimension.name), std::string(key.substr(at + 4, length)));
    at += 4 + length;
  }
  return pairs;
}

}  // namespace quib::ingest
