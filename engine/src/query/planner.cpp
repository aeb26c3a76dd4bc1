#include "query/planner.h"

#include <algorithm>
#include <cstddef>
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

template <typename Repr>
void add_counts(Repr& into, const Repr& later, std::vector<std::uint64_t> Repr::*cells) {
  auto& target = into.*cells;
  const auto& source = later.*cells;
  const std::size_t shared = std::min(target.size(), source.size());
  for (std::size_t i = 0; i < shared; ++i) target[i] = core::saturating_add(target[i], source[i]);
  into.total_count = core::saturating_add(into.total_count, later.total_count);
}

// Positions are matched by index only: ranges and category names stay those of `into`.
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

void add_later_members(core::DistributionRepr& sum, const ResolvedMembers& resolved) {
  for (std::size_t i = 1; i < resolved.members.size(); ++i) {
    add_repr(sum, resolved.members[i]->repr);
  }
}

}  // namespace

ResolvedMembers rolled_up_members(const storage::Database& db, std::string_view variable,
                                  const DimensionMap& dimensions,
                                  std::span<const std::size_t> candidates) {
  ResolvedMembers resolved;
  const auto& all = db.distributions();
  for (const std::size_t position : candidates) {
    if (core::key_holds_all(all[position].dimension_key, dimensions)) {
      resolved.members.push_back(&all[position]);
    }
  }
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
