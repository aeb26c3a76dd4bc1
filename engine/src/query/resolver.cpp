#include "query/resolver.h"

#include <bit>
#include <utility>

#include "math/rebin.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

// A scan of the variable's keys costs about as much as filing them by pair; from this many
// roll-ups of one variable on, filing them once is cheaper.
constexpr unsigned kRollUpsBeforeFiling = 3;

bool same_bits(double x, double y) {
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

}  // namespace

ResolvedSide::ResolvedSide(ResolvedMembers resolved) : resolved_(std::move(resolved)) {
  versions_.reserve(resolved_.members.size());
  for (const auto* member : resolved_.members) versions_.push_back({member->id, member->version});
}

const core::DistributionRepr& ResolvedSide::counts() const {
  if (resolved_.members.size() == 1) return first().repr;
  if (!rolled_up_) rolled_up_ = rolled_up_repr(resolved_);
  return *rolled_up_;
}

std::uint64_t ResolvedSide::sample_count() const {
  return resolved_.exact ? first().sample_count : counts().total_count();
}

double ResolvedSide::entropy() const {
  return resolved_.exact ? first().entropy : core::entropy(counts());
}

const RebinnedCounts* ResolvedSide::rebinned(std::uint64_t bins, double min, double max) const {
  if (!rebinned_ || rebinned_->bins != bins || !same_bits(rebinned_->min, min) ||
      !same_bits(rebinned_->max, max)) {
    rebinned_.emplace(Rebinned{bins, min, max, std::nullopt});
    if (auto repr = math::rebin_histogram(counts(), bins, min, max)) {
      const double entropy = core::entropy(*repr);
      const auto& histogram = *repr->get_if<core::DistributionRepr::Histogram>();
      math::ShareTerms terms = math::share_terms(histogram.bin_counts, histogram.total_count);
      rebinned_->counts.emplace(RebinnedCounts{std::move(*repr), entropy, std::move(terms)});
    }
  }
  return rebinned_->counts ? &*rebinned_->counts : nullptr;
}

const OwnCategories& ResolvedSide::own_categories() const {
  if (!own_categories_) {
    const auto& categorical = *counts().get_if<core::DistributionRepr::Categorical>();
    const auto& names = categorical.categories.names();
    math::AlignedCategories aligned =
        math::align_categorical(names, categorical.counts, names, categorical.counts);
    const double entropy = core::entropy_of_counts(aligned.a, categorical.total_count);
    math::ShareTerms terms = math::share_terms(aligned.a, categorical.total_count);
    own_categories_.emplace(OwnCategories{std::move(aligned), entropy, std::move(terms)});
  }
  return *own_categories_;
}

const ResolvedSide& SideResolver::resolve(std::string_view variable,
                                          const DimensionMap& dimensions) {
  if (auto found = sides_.find(SideKeyView{variable, dimensions}); found != sides_.end()) {
    return found->second;
  }
  // A side that resolves to nothing is not kept: asking again fails again, with the same message.
  ResolvedMembers members = find_members(variable, dimensions);
  return sides_
      .emplace(SideKey{std::string(variable), dimensions}, ResolvedSide(std::move(members)))
      .first->second;
}

ResolvedMembers SideResolver::find_members(std::string_view variable,
                                           const DimensionMap& dimensions) {
  if (const auto* exact = db_.find_distribution(variable, dimensions)) {
    ResolvedMembers resolved;
    resolved.members.push_back(exact);
    resolved.exact = true;
    return resolved;
  }
  const Candidates found = candidates(variable, dimensions);
  if (found.all_hold) {
    ResolvedMembers resolved;
    resolved.members.reserve(found.positions.size());
    for (const std::size_t position : found.positions) {
      resolved.members.push_back(&db_.distributions()[position]);
    }
    if (!resolved.members.empty()) return resolved;
  }
  return rolled_up_members(db_, variable, dimensions, found.positions);
}

// Every position whose key can hold all the pairs, in storage order: with the keys filed, the
// shortest list among the pairs (which needs no check when the map has one pair); otherwise
// all of the variable's positions.
SideResolver::Candidates SideResolver::candidates(std::string_view variable,
                                                  const DimensionMap& dimensions) {
  const std::span<const std::size_t> all = db_.positions_of_variable(variable);
  if (dimensions.empty()) return {all, true};
  auto state = variables_.find(variable);
  if (state == variables_.end()) {
    state = variables_.emplace(std::string(variable), VariableState{}).first;
  }
  if (++state->second.rolled_up < kRollUpsBeforeFiling) return {all, false};
  std::span<const std::size_t> shortest = all;
  for (const auto& [name, value] : dimensions) {
    const ValuePositions& values = filed(variable, state->second, name);
    const auto positions = values.find(value);
    if (positions == values.end()) return {{}, false};
    if (positions->second.size() < shortest.size()) shortest = positions->second;
  }
  return {shortest, dimensions.size() == 1};
}

const SideResolver::ValuePositions& SideResolver::filed(std::string_view variable,
                                                        VariableState& state,
                                                        const std::string& dimension) {
  if (auto found = state.by_dimension.find(dimension); found != state.by_dimension.end()) {
    return found->second;
  }
  ValuePositions& values = state.by_dimension[dimension];
  for (const std::size_t position : db_.positions_of_variable(variable)) {
    const auto& key = db_.distributions()[position].dimension_key;
    if (auto pair = key.find(dimension); pair != key.end()) {
      values[pair->second].push_back(position);
    }
  }
  return values;
}

}  // namespace quib::query
