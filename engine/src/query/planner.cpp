#include "query/planner.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>

#include "core/dimension_key.h"
#include "core/error.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

[[noreturn]] void throw_not_found(std::string_view variable, const DimensionMap& dimensions) {
  std::string message = "distribution not found for variable '";
  message += variable;
  message += "' and dimensions ";
  message += core::debug_dimension_key(dimensions);
  throw Error(std::move(message));
}

using Positions = std::span<const storage::Database::Position>;

// The positions in every list, in storage order. Each list is in storage order, so each is
// searched onwards from where the last search stopped; the shortest list leads, which makes the
// cost follow the smallest list rather than the variable's distributions.
std::vector<std::size_t> intersect(std::vector<Positions> lists) {
  std::sort(lists.begin(), lists.end(),
            [](Positions x, Positions y) { return x.size() < y.size(); });
  std::vector<std::size_t> common;
  common.reserve(lists.front().size());
  std::vector<const storage::Database::Position*> from(lists.size());
  for (std::size_t l = 1; l < lists.size(); ++l) from[l] = lists[l].data();
  for (const std::size_t position : lists.front()) {
    bool everywhere = true;
    for (std::size_t l = 1; l < lists.size() && everywhere; ++l) {
      const storage::Database::Position* end = lists[l].data() + lists[l].size();
      from[l] = std::lower_bound(from[l], end, position);
      everywhere = from[l] != end && *from[l] == position;
    }
    if (everywhere) common.push_back(position);
  }
  return common;
}

template <typename Repr>
void add_counts(Repr& into, const Repr& later, std::vector<std::uint64_t> Repr::*cells) {
  auto& target = into.*cells;
  const auto& source = later.*cells;
  const std::size_t shared = std::min(target.size(), source.size());
  for (std::size_t i = 0; i < shared; ++i) target[i] = core::saturating_add(target[i], source[i]);
  into.total_count = core::saturating_add(into.total_count, later.total_count);
}

std::span<const std::uint64_t> cells_of(const core::DistributionRepr& repr) {
  if (const auto* histogram = repr.get_if<core::DistributionRepr::Histogram>()) {
    return histogram->bin_counts;
  }
  if (const auto* categorical = repr.get_if<core::DistributionRepr::Categorical>()) {
    return categorical->counts;
  }
  return {};
}

// The members of a large roll-up lie scattered over memory, and summing them waits on loads
// far longer than it adds: each member's object, then every line of its counts, are asked for
// ahead of use.
constexpr std::size_t kObjectsAhead = 16;
constexpr std::size_t kCellsAhead = 8;
constexpr std::size_t kCellsPerLine = 64 / sizeof(std::uint64_t);

}  // namespace

void prefetch_counts(const core::DistributionObject& member) {
  const auto cells = cells_of(member.repr);
  for (std::size_t i = 0; i < cells.size(); i += kCellsPerLine) __builtin_prefetch(&cells[i]);
}

void add_repr(core::DistributionRepr& into, const core::DistributionRepr& later) {
  using Histogram = core::DistributionRepr::Histogram;
  using Categorical = core::DistributionRepr::Categorical;
  if (auto* histogram = into.get_if<Histogram>()) {
    if (const auto* other = later.get_if<Histogram>()) {
      add_counts(*histogram, *other, &Histogram::bin_counts);
    }
  } else if (auto* categorical = into.get_if<Categorical>()) {
    if (const auto* other = later.get_if<Categorical>()) {
      add_counts(*categorical, *other, &Categorical::counts);
      categorical->unknown_count =
          core::saturating_add(categorical->unknown_count, other->unknown_count);
    }
  }
}

namespace {

void add_later_members(core::DistributionRepr& sum, const ResolvedMembers& resolved) {
  const auto& members = resolved.members;
  for (std::size_t i = 1; i < members.size(); ++i) {
    if (i + kObjectsAhead < members.size()) __builtin_prefetch(&members[i + kObjectsAhead]->repr);
    if (i + kCellsAhead < members.size()) prefetch_counts(*members[i + kCellsAhead]);
    add_repr(sum, members[i]->repr);
  }
}

}  // namespace

ResolvedMembers resolve_members(const storage::Database& db, std::string_view variable,
                                const DimensionMap& dimensions) {
  ResolvedMembers resolved;
  // The lookup checks the stored object's own key, so a key sharing another's text never
  // answers with that other key's distribution.
  if (const auto* exact = db.find_distribution(variable, dimensions)) {
    resolved.members.push_back(exact);
    resolved.exact = true;
    return resolved;
  }
  return rolled_up_members(db, variable, dimensions);
}

ResolvedMembers rolled_up_members(const storage::Database& db, std::string_view variable,
                                  const DimensionMap& dimensions) {
  std::vector<Positions> lists;
  lists.reserve(std::max<std::size_t>(dimensions.size(), 1));
  if (dimensions.empty()) lists.push_back(db.positions_of_variable(variable));
  for (const auto& [dimension, value] : dimensions) {
    lists.push_back(db.positions_with_pair(variable, dimension, value));
    if (lists.back().empty()) throw_not_found(variable, dimensions);
  }
  const std::vector<std::size_t> common = intersect(std::move(lists));
  ResolvedMembers resolved;
  resolved.members.reserve(common.size());
  for (const std::size_t position : common) resolved.members.push_back(&db.distributions()[position]);
  if (resolved.members.empty()) throw_not_found(variable, dimensions);
  return resolved;
}

core::DistributionRepr rolled_up_repr(const ResolvedMembers& resolved) {
  core::DistributionRepr sum = resolved.members.front()->repr;
  add_later_members(sum, resolved);
  return sum;
}

std::vector<const core::DistributionObject*> distributions_for_variable(
    const storage::Database& db, std::string_view variable) {
  const auto positions = db.positions_of_variable(variable);
  std::vector<const core::DistributionObject*> found;
  found.reserve(positions.size());
  for (const std::size_t position : positions) found.push_back(&db.distributions()[position]);
  return found;
}

}  // namespace quib::query
